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

// Cuts an open file to `length` bytes: 0, or the errno value.
int file_cut(FILE* file, uint64_t length);

// True when the open file is a folder (which C stdio opens for reading without a word).
bool file_is_folder(FILE* file);

// The names in a folder ("." and ".." left out): 0, or the errno value.
int folder_names(const char* folder, std::vector<std::string>* names);
