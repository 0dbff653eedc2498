#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "fake_tape.h"
#include "frame/subcode_writer.h"
#include "jobs/cue_file.h"
#include "jobs/jobs.h"
#include "jobs/lead_blocks.h"

namespace {

namespace fs = std::filesystem;

TEST(Recording, SilenceFrameCounts) {
    // seconds, format bytes 0 (rate code in bits 3-2) and 1 (quantization in bits 7-6)
    const std::tuple<int, uint8_t, uint8_t, int64_t> cases[] = {
        {5, 0x04, 0x00, 166}, {5, 0x08, 0x40, 83}, {3, 0x08, 0x40, 49},
        {3, 0x08, 0x00, 99},  {3, 0x04, 0x40, 99}, {10, 0x00, 0x00, 333},
        {0, 0x00, 0x00, 0},   {-3, 0x00, 0x00, 0}, {INT_MAX, 0x00, 0x00, 71511205445},
    };
    for (auto [seconds, format0, format1, frames] : cases) {
        write_template.format[0] = format0;
        write_template.format[1] = format1;
        EXPECT_EQ(silence_frame_count(seconds), frames) << seconds << " s, " << +format0;
    }
}

// Beside the argument before beside the executable, ".cue" before ".CUE"; what stands
// in the way and cannot be read is never passed over.
TEST(Recording, CueFileLookupOrder) {
    const fs::path root = fs::temp_directory_path() / ("cue-lookup-" + std::to_string(getpid()));
    const std::string too_long(300, 'n');
    // files present (a trailing '/' makes a folder), argument, outcome, path taken
    const std::tuple<std::vector<std::string>, std::string, CueStatus, std::string> cases[] = {
        {{"arg/set.cue", "arg/set.CUE", "exe/set.cue"}, "arg/set.txt", CUE_FOUND, "arg/set.cue"},
        {{"arg/set.CUE", "exe/set.cue"}, "arg/set.txt", CUE_FOUND, "arg/set.CUE"},
        {{"exe/set.cue", "exe/set.CUE"}, "arg/set.txt", CUE_FOUND, "exe/set.cue"},
        {{"exe/set.CUE"}, "arg/set", CUE_FOUND, "exe/set.CUE"},
        {{}, "arg/set.a.b", CUE_MISSING, "arg/set.a.cue"},
        {{"arg/set.cue/", "exe/set.cue"}, "arg/set.txt", CUE_UNREADABLE, "arg/set.cue"},
        {{"exe/x.cue"}, "arg/" + too_long, CUE_UNREADABLE, "arg/" + too_long + ".cue"},
    };
    for (const auto& [present, argument, expected, path] : cases) {
        fs::remove_all(root);
        fs::create_directories(root / "arg"), fs::create_directories(root / "exe");
        for (const std::string& name : present) {
            if (name.back() == '/') fs::create_directories(root / name);
            std::ofstream(root / name) << "[FILES]\nFILE_001=a.wav\n";
        }
        CueFile cue;
        CueStatus status = find_cue_file((root / argument).string(), (root / "exe").string(), &cue);
        EXPECT_EQ(std::make_pair(status, cue.path),
                  std::make_pair(expected, (root / path).string()))
            << argument << " " << cue.reason;
    }
    fs::remove_all(root);
}

// One more try after a sequential positioning error, and only one. The listed file is
// missing: a job that gets past the lead-in ends with kJobEndedEarly.
TEST(Recording, LeadInRetriedOnceOnAPositioningError) {
    const fs::path root = fs::temp_directory_path() / ("cue-retry-" + std::to_string(getpid()));
    fs::create_directories(root);
    std::ofstream(root / "set.cue") << "[FILES]\nFILE_001=missing.wav\n";
    for (size_t failures : {1, 2}) {
        FakeTape tape;
        tape.write_answers.assign(failures, 0x04033B00);
        fake_tape_install(&tape);
        JobState job{};
        snprintf(job.file_name, sizeof job.file_name, "%s/set", root.c_str());
        testing::internal::CaptureStdout();
        int result = wav_to_dat(&job);
        std::string out = testing::internal::GetCapturedStdout();
        fake_tape_remove();
        const char* last = failures == 1 ? "frame\nTape positioning error.. trying again...Writing "
                                           "lead-in...done"
                                         : "again...Writing lead-in...fail writing lead-in "
                                           "frame\nTape write error 4033b00\n";
        EXPECT_EQ(
            std::make_tuple(result, tape.written.size(), out.find(last) != out.npos),
            std::make_tuple(failures == 1 ? kJobEndedEarly : 1, failures == 1 ? 420u : 0u, true))
            << out;
    }
    fs::remove_all(root);
}

}  // namespace
