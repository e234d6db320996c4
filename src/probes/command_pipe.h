// Running shell commands and scripts for the probes, and guarding the shared
// files in /tmp that the embedded scripts append to.
#pragma once

#include <cstdio>
#include <string>

using command_open_fn = FILE* (*)(const char* command);
using command_close_fn = int (*)(FILE* pipe);

// Starts a command for reading its output, as popen would, unless a test
// replaced it: "/bin/sh -c command" in "/" with the fixed child environment
// (system/bounded_command.h), standard input on /dev/null and standard error
// on the debug log.
FILE* open_command(const char* command);
// Closes the pipe and gives the command's wait status, or a negative value.
int close_command(FILE* pipe);
// Replaces the command pipe; null restores the real one. Tests only.
void set_command_pipe(command_open_fn open, command_close_fn close);

// The embedded scripts are written for bash ("echo -en", "${DIR#prefix}"),
// while /bin/sh is often a shell whose echo takes no options. A script runs
// under /bin/bash when that exists, else under the command pipe's own shell.
// With as_test it runs under the name "test" ($0), so that it only checks its
// tools and sources and exits with 0 when they are there.
std::string script_command_line(const char* script, bool as_test);
// Starts an embedded script (or any probe's command line) for reading.
FILE* open_script(const char* script);
// Replaces the script shell ("/bin/bash"); null restores it. Tests only.
void set_script_shell(const char* path);

// The files the embedded scripts write: the shared error log, the module
// table copy and the package table copy.
enum script_file { script_error_log = 0, script_module_copy = 1, script_package_copy = 2 };
constexpr int script_file_count = 3;

const char* script_file_path(int file);
// Gives the three files other places (the texts are copied); null restores
// the fixed /tmp names. Forgets any private files of earlier commands.
// Tests only.
void set_script_file_paths(const char* error_log, const char* module_copy,
                           const char* package_copy);

// Makes sure the file at path is a regular file of the running user or of
// root with a single link: anything else there (a planted link, another
// user's or a hard-linked file) is removed and the file created afresh, mode
// 0600, without following links. A safe existing file is kept, so the log
// keeps growing.
bool secure_script_file(const char* path);

// Makes the three script files ready before a command runs. A shared file
// that cannot be made safe, or that this user cannot append to (a folder
// planted there by someone else, root's file in a run by another user), is
// replaced for the rest of the run by a fresh file of the same name in a
// private folder of this run (/tmp/sifterra-XXXXXX, mode 0700), and the
// command line the scripts run names that file instead (with_script_files).
// A command naming a file for which even that failed must not run; false in
// that case, and refused_script_count() grows by one.
bool prepare_script_files(const char* command);
// The command with every shared script file it names replaced by the private
// file that stands for it in this run.
std::string with_script_files(const char* command);
// The private file standing for a shared one, or "" while the shared one serves.
const char* private_script_file_path(int file);
// How many commands were refused because their files could not be made safe.
int refused_script_count();
// Where the private folder is made ("/tmp"; null restores it). Tests only.
void set_private_folder_parent(const char* folder);
