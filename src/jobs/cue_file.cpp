#include "jobs/cue_file.h"

#include <cerrno>
#include <cstring>

namespace {

// The folder part of a path with its trailing separator, "" when it names none.
std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file name less everything from its last dot.
std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::vector<std::string> cue_file_candidates(const std::string& argument,
                                             const std::string& executable_folder) {
    std::vector<std::string> folders{folder_of(argument)};
    if (!executable_folder.empty()) {
        bool ends_in_slash = executable_folder.back() == '/';
        folders.push_back(executable_folder + (ends_in_slash ? "" : "/"));
    }
    const std::string base = base_of(argument);
    std::vector<std::string> candidates;
    for (const std::string& folder : folders) {
        candidates.push_back(folder + base + ".cue");
        candidates.push_back(folder + base + ".CUE");
    }
    return candidates;
}

CueStatus find_cue_file(const std::string& argument, const std::string& executable_folder,
                        CueFile* cue) {
    const std::vector<std::string> candidates = cue_file_candidates(argument, executable_folder);
    for (const std::string& path : candidates) {
        errno = 0;
        int status = profile_load(path.c_str(), &cue->profile);
        if (status == PROFILE_OK) {
            cue->path = path;
            return CUE_FOUND;
        }
        if (status == PROFILE_UNREADABLE && (errno == ENOENT || errno == ENOTDIR)) continue;
        // Anything else that stands at a candidate's path must not be passed over for a
        // cue file further down the list: the user would record the wrong list.
        cue->path = path;
        if (status == PROFILE_TOO_LARGE) {
            cue->reason = "larger than " + std::to_string(kProfileMaxFileBytes >> 20) + " MiB";
        } else {
            cue->reason = errno ? strerror(errno) : "not a regular file";
        }
        return CUE_UNREADABLE;
    }
    cue->path = candidates.front();
    return CUE_MISSING;
}
