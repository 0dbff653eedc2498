#pragma once
// File-system questions the jobs ask beyond what C stdio answers.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// 0 when a file can be created in the folder that `path` names a file in (the folder of
// "dir/Take" is "dir", of "Take" the current folder), else the errno value. Tried by
// creating and removing a file there: permissions, read-only mounts and missing folders
// all show.
int folder_writable(const char* path);

// Opens a file for writing from its start, as fopen with "w+b" does, unless another open of
// it holds a lock: a drive's cassette, or the file another job is writing. Then nullptr
// with errno EBUSY. The lock taken here lasts while the file is open.
FILE* file_create_locked(const char* path);

// strerror, with words for the EBUSY of file_create_locked.
const char* file_error_text(int error);

// Cuts an open file to `length` bytes: 0, or the errno value.
int file_cut(FILE* file, uint64_t length);

// True when the open file is a folder (which C stdio opens for reading without a word).
bool file_is_folder(FILE* file);

// The names in a folder ("." and ".." left out): 0, or the errno value.
int folder_names(const char* folder, std::vector<std::string>* names);
