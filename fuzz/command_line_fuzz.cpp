// The command line as anyone may type it: the input is split at zero bytes into the
// arguments. Each argument lives in a heap block of its own length, so that a read or a
// write past its end is caught, and the parser's promises are checked on every result.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"

namespace {

constexpr size_t kMaxArguments = 64;

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "command line: broken promise: %s\n", promise);
    abort();
}

bool address_in_range(const ScsiAddress& a) {
    return a.adapter >= 0 && a.adapter <= 7 && a.target >= 0 && a.target <= 7 && a.lun == 0;
}

bool seek_in_range(const JobState& job) {
    if (job.seek_kind == 0) return job.seek_target >= 1 && job.seek_target <= 799;
    const uint32_t t = job.seek_target;
    return job.seek_kind <= 3 && (t >> 24) <= 99 && ((t >> 16) & 0xFF) <= 59 &&
           ((t >> 8) & 0xFF) <= 59 && (t & 0xFF) <= 33;
}

void check_accepted(const JobState& job) {
    require(job.mode_tape_to_wav || job.mode_wav_to_tape || job.mode_tape_to_image ||
                job.mode_image_to_tape || job.mode_tape_to_tape,
            "an accepted line names a mode");
    require(memchr(job.file_name, 0, sizeof job.file_name) != nullptr, "file name terminated");
    require(!job.input_id_given || address_in_range(job.input), "input address 0-7");
    require(!job.output_id_given || address_in_range(job.output), "output address 0-7");
    require(!job.seek || seek_in_range(job), "seek target in range");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parser's echo and error lines go nowhere; the fuzzer reports on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> typed = {"tervano"};
    size_t start = 0;
    for (size_t i = 0; i <= size && typed.size() < kMaxArguments; ++i) {
        if (i < size && data[i] != 0) continue;
        typed.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
        start = i + 1;
    }
    std::vector<char*> argv;
    for (const std::string& argument : typed) {
        char* copy = static_cast<char*>(malloc(argument.size() + 1));
        memcpy(copy, argument.c_str(), argument.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);

    JobState job{};  // the run sequence hands over a zeroed record
    const int result = parse_command_line(static_cast<int>(typed.size()), argv.data(), &job);
    require(result == 0 || result == 1 || result == 2, "result 0, 1 or 2");
    if (result == 0) check_accepted(job);
    for (size_t i = 0; i < typed.size(); ++i) {
        require(typed[i] == argv[i], "arguments left as typed");
        free(argv[i]);
    }
    return 0;
}
