// Files that are only half written while the run lasts (the temporary
// report, a container being packed, its working files) must not outlive a
// run ended by SIGINT, SIGTERM or SIGHUP: they hold what only root may read.
#pragma once

// Remembers path (copied; relative names are taken in the current folder,
// which the run never changes) until it is forgotten. At most
// partial_file_slots names at a time; false when they are all taken.
bool track_partial_file(const char* path);
void forget_partial_file(const char* path);

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove every
// remembered file and then end the process by the same signal. A signal the
// caller ignored (nohup) stays ignored.
void remove_partial_files_on_signals();

// What the handlers do, without ending the process. Tests only.
void remove_partial_files_now();

inline constexpr int partial_file_slots = 8;
