// vdat's bay reader on arbitrary bay files: the input is written to a file in a folder
// of the fuzzer's own (cassette names are relative to it) and read as vdat reads it at
// start-up. An accepted bay must describe drives vdat can serve.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bay.h"

namespace {

std::string g_folder;
std::string g_path;

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "bay reader: broken promise: %s\n", promise);
    abort();
}

void remove_folder() {
    unlink(g_path.c_str());
    rmdir(g_folder.c_str());
}

void check_accepted(const std::vector<DriveConfig>& drives) {
    for (size_t i = 0; i < drives.size(); ++i) {
        const DriveConfig& d = drives[i];
        require(d.adapter >= 0 && d.adapter <= kMaxAdapter, "adapter in range");
        require(d.target >= 0 && d.target <= kMaxTarget, "target in range");
        require(d.capacity > 0 && d.locate_fps > 0, "capacity and speed");
        for (size_t j = 0; j < i; ++j) {
            require(d.adapter != drives[j].adapter || d.target != drives[j].target,
                    "one section per drive");
        }
        for (size_t r = 0; r < d.read_errors.size(); ++r) {
            const FrameRange& range = d.read_errors[r];
            require(range.first <= range.last, "ranges run forwards");
            require(r == 0 || d.read_errors[r - 1].last < range.first, "ranges sorted, apart");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tervano-fuzz-bay-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    g_folder = pattern;
    g_path = g_folder + "/bay.ini";
    atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0) {
        abort();
    }
    std::vector<DriveConfig> drives;
    std::string error;
    const int result = bay_read(g_path.c_str(), &drives, &error);
    require(result == 0 || result == -1, "result 0 or -1");
    require((result == 0) == error.empty(), "a refusal says why");
    if (result == 0) check_accepted(drives);
    return 0;
}
