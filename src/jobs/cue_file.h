#pragma once
// Where a recording's cue file is found. File names are case-sensitive here and programs
// live in folders their users cannot write to, so the cue file is looked for beside the
// argument first (its folder, or the current folder when it names none), then beside
// the executable; in each folder as "<base>.cue", then "<base>.CUE", where <base> is the
// argument's file name less its last extension.

#include <string>
#include <vector>

#include "platform/profile_file.h"

std::vector<std::string> cue_file_candidates(const std::string& argument,
                                             const std::string& executable_folder);

enum CueStatus {
    CUE_FOUND,       // `profile` holds the file at `path`
    CUE_MISSING,     // no candidate exists; `path` is the first one tried
    CUE_UNREADABLE,  // `path` exists but cannot be read; `reason` says why
};

struct CueFile {
    std::string path;
    ProfileFile profile;
    std::string reason;
};

// The first candidate that exists; an empty executable folder leaves its candidates out.
CueStatus find_cue_file(const std::string& argument, const std::string& executable_folder,
                        CueFile* cue);
