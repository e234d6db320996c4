// The console dialogue: usage, disclaimer, banner, step questions and the
// dotted progress labels.
#pragma once

#include <cstdint>
#include <cstdio>

// Rights line of the banner and the usage text.
inline constexpr const char* rights_line = "Copyright (c) Varnholt. All rights reserved.";

// Writes the usage text for program_name to err.
void show_usage(const char* program_name, FILE* err = stderr);

// Shows the disclaimer on out and reads one answer line from in; true when its
// first character is 'y' or 'Y'.
bool ask_agreement(FILE* in = stdin, FILE* out = stdout);

// The refusal message and the warning for a run without root rights.
void write_refusal(FILE* err = stderr);
void write_root_warning(FILE* err = stderr);

// The banner: title, rights line, version and an empty line.
void write_banner(FILE* console);

// Writes "label ", dots up to column 31 and a blank: 33 characters for
// labels of up to 30 characters.
void write_dotted_label(FILE* console, const char* label);

// Decides whether a fixed section of section_level runs: never above the run
// level; with step, asks "Run label?: " and reads the answer from in;
// otherwise writes the dotted label unless silent.
bool confirm_step(FILE* console, bool silent, bool step, int32_t run_level, int32_t section_level, const char* label,
                  FILE* in = stdin);

// The disclaimer body: 18 lines of 76 characters and one empty line.
void write_disclaimer(FILE* out);

// A console stream over target that stops writing once a write to target
// fails (a closed pipe, a full disk) and from then on drops what it is given,
// so that a console that vanished never ends or disturbs the run. It is
// unbuffered: each write reaches target at once, in order with other output
// there. Gives target itself if no such stream can be made.
FILE* open_console(FILE* target);
