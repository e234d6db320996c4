// Creating the files the programs write so that nothing already in their
// place can redirect the write: a planted symbolic or hard link is removed,
// never written through.
#pragma once

#include <sys/types.h>

#include <cstdio>

// Creates path as a new, empty regular file and opens it with the stdio mode
// ("w", "wb", "w+b"; other modes are refused). Whatever name is already there
// is unlinked first, which removes a link itself and never its target; the
// creation is then exclusive and follows no link. New files get 0666 less the
// umask, as fopen gives them, unless other permissions are given (0600 for a
// private file). Null with errno set when the name cannot be made fresh (a
// directory in the way, no permission, no space).
FILE* fopen_fresh(const char* path, const char* mode, mode_t permissions = 0666);

// Opens an existing file of ours for reading ("rb") or updating ("r+b")
// without following a symbolic link at its name.
FILE* fopen_no_follow(const char* path, const char* mode);
