#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "frame/subcode_writer.h"
#include "jobs/cue_file.h"
#include "jobs/lead_blocks.h"

namespace {

namespace fs = std::filesystem;

TEST(Recording, SilenceFrameCounts) {
    struct Case {
        int seconds;
        uint8_t format0, format1;  // rate code in bits 3-2; quantization in bits 7-6
        int64_t frames;
    };
    const Case cases[] = {
        {5, 0x04, 0x00, 166}, {5, 0x08, 0x40, 83}, {3, 0x08, 0x40, 49},
        {3, 0x08, 0x00, 99},  {3, 0x04, 0x40, 99}, {10, 0x00, 0x00, 333},
        {0, 0x00, 0x00, 0},   {-3, 0x00, 0x00, 0}, {INT_MAX, 0x00, 0x00, 71511205445},
    };
    for (const Case& c : cases) {
        write_template.format[0] = c.format0;
        write_template.format[1] = c.format1;
        EXPECT_EQ(silence_frame_count(c.seconds), c.frames) << c.seconds << " s, " << +c.format0;
    }
}

// Beside the argument before beside the executable, ".cue" before ".CUE"; what stands
// in the way and cannot be read is never passed over.
TEST(Recording, CueFileLookupOrder) {
    const fs::path root = fs::temp_directory_path() / ("cue-lookup-" + std::to_string(getpid()));
    const std::string too_long(300, 'n');
    struct Case {
        std::vector<std::string> present;  // a trailing '/' makes a folder
        std::string argument;
        CueStatus status;
        std::string path;
    };
    const Case cases[] = {
        {{"arg/set.cue", "arg/set.CUE", "exe/set.cue"}, "arg/set.txt", CUE_FOUND, "arg/set.cue"},
        {{"arg/set.CUE", "exe/set.cue"}, "arg/set.txt", CUE_FOUND, "arg/set.CUE"},
        {{"exe/set.cue", "exe/set.CUE"}, "arg/set.txt", CUE_FOUND, "exe/set.cue"},
        {{"exe/set.CUE"}, "arg/set", CUE_FOUND, "exe/set.CUE"},
        {{}, "arg/set.a.b", CUE_MISSING, "arg/set.a.cue"},
        {{"arg/set.cue/", "exe/set.cue"}, "arg/set.txt", CUE_UNREADABLE, "arg/set.cue"},
        {{"exe/x.cue"}, "arg/" + too_long, CUE_UNREADABLE, "arg/" + too_long + ".cue"},
    };
    for (const Case& c : cases) {
        fs::remove_all(root);
        fs::create_directories(root / "arg");
        fs::create_directories(root / "exe");
        for (const std::string& name : c.present) {
            if (name.back() == '/') fs::create_directories(root / name);
            std::ofstream(root / name) << "[FILES]\nFILE_001=a.wav\n";
        }
        CueFile cue;
        CueStatus status =
            find_cue_file((root / c.argument).string(), (root / "exe").string(), &cue);
        EXPECT_EQ(std::make_pair(status, cue.path),
                  std::make_pair(c.status, (root / c.path).string()))
            << c.argument << " " << cue.reason;
    }
    fs::remove_all(root);
}

}  // namespace
