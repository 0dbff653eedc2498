#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

typedef std::vector<std::string> Args;

struct Parsed {
    int result;
    std::string console;
    JobState job;
    Args args_after;
};

// Runs the parser on "tervano" and `args` over a JobState full of leftovers.
Parsed parse(Args args) {
    args.insert(args.begin(), "tervano");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed out;
    memset(&out.job, 0x55, sizeof out.job);
    testing::internal::CaptureStdout();
    out.result = parse_command_line(static_cast<int>(args.size()), argv.data(), &out.job);
    out.console = testing::internal::GetCapturedStdout();
    out.args_after.assign(args.begin() + 1, args.end());
    return out;
}

const std::string kTapeToWavEcho = "TERVANO\nInput SCSI adapter 0, ID number: 4\n";
Args tape_to_wav_seek(const char* kind, const char* value) {
    return {"/TERVANO", "f", "/INPUTID", "0:4", "/SEEK", kind, value};
}

TEST(CommandLine, LowerCaseKeywordsMatchAndArgumentsStayAsTyped) {
    Parsed p = parse({"/tervano", "Tape/Take1", "/inputid", "1:3"});
    const ScsiAddress& in = p.job.input;
    EXPECT_EQ(std::tuple(p.result, p.console, std::string(p.job.file_name), in.adapter, in.target,
                         in.lun, p.args_after),
              std::tuple(0, "TERVANO\nInput SCSI adapter 1, ID number: 3\n", "Tape/Take1", 1, 3, 0,
                         Args({"/tervano", "Tape/Take1", "/inputid", "1:3"})));
}

TEST(CommandLine, KeywordsRecordTheirLastPositionAndTheLastModeTakesTheFileName) {
    Parsed p = parse({"/REWIND",  "/INPUTID", "0:4",      "/OUTPUTID", "1:5",
                      "/WAVEOUT", "/STARTID", "/MRSOFF",  "/STOPEOT",  "/ERRORCORRECT",
                      "/DAT2DAT", "/REWIND",  "/TERVANO", "a",         "/WAV2DAT",
                      "b",        "/DAT2IMG", "c",        "/IMG2DAT",  "d"});
    const JobState& j = p.job;
    EXPECT_EQ(std::vector<int32_t>({j.rewind, j.input_id_given, j.output_id_given, j.wave_out,
                                    j.split_on_start_id, j.mrs_off, j.stop_at_eot, j.error_correct,
                                    j.mode_tape_to_tape, j.mode_tape_to_wav, j.mode_wav_to_tape,
                                    j.mode_tape_to_image, j.mode_image_to_tape, j.seek}),
              std::vector<int32_t>({12, 2, 4, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 0}));
    EXPECT_EQ(std::tuple(p.result, std::string(j.file_name), p.console),
              std::tuple(0, "d",
                         "DAT2DAT\nTERVANO\nWAV2DAT\nDAT2IMG\nIMG2DAT\nInput SCSI adapter 0, "
                         "ID number: 4\nOutput SCSI adapter 1, ID number: 5\n"));
}

TEST(CommandLine, AcceptedLines) {
    std::string longest(313, 'n');
    EXPECT_STREQ(parse({"/WAV2DAT", longest, "/OUTPUTID", "0:4"}).job.file_name, longest.c_str());
    EXPECT_EQ(parse({"/DAT2DAT", "/INPUTID", "0:4", "/OUTPUTID", "1:4"}).result, 0);
    // The same address twice is fine for modes other than the copy.
    EXPECT_EQ(parse({"/TERVANO", "f", "/INPUTID", "0:4", "/OUTPUTID", "0:4"}).result, 0);

    const std::tuple<const char*, const char*, int32_t, uint32_t> seeks[] = {
        // clang-format off
        {"abstime", "0:12:30:0", 1, 0x000C1E00u}, {"PROGNUM", "5", 0, 5u}, {"Prognum", "799", 0, 799u},
        {"RunTime", "99:59:59:33", 2, 0x633B3B21u}, {"PROGTIME", "1:2:3:4", 3, 0x01020304u}};
    // clang-format on
    for (const auto& [kind, value, seek_kind, target] : seeks) {
        Parsed p = parse(tape_to_wav_seek(kind, value));
        EXPECT_EQ(std::tie(p.result, p.console, p.job.seek, p.job.seek_kind, p.job.seek_target),
                  std::tuple(0, kTapeToWavEcho, 5, seek_kind, target))
            << value;
    }
}

// Each refused line: the echo so far, the reason, and 2 for a file name, else 1. The file
// name is checked before the addresses, the input before the output, both before the seek.
TEST(CommandLine, RefusedLinesSayWhy) {
    const std::string no_mode = "No mode entered (eg: /tervano, /wav2dat etc.)\n";
    const std::string far_time =
        "\" out of range (hours 0-99, minutes 0-59, seconds 0-59, frames 0-33)\n";
    const std::string bad_time = "\" is not hours:minutes:seconds:frames (for example 0:12:30:0)\n";
    std::vector<std::tuple<Args, std::string, int>> cases = {
        // clang-format off
        {{"/TERVANO"}, "TERVANO\nNo filename entered\n", 2},
        {{"/TERVANO", "/inputid", "0:4"}, "TERVANO\nNo filename entered\n", 2},
        {{"/TERVANO", std::string(314, 'n'), "/INPUTID", "0:4"}, "TERVANO\nFilename longer than 313 characters\n", 2},
        {{"/INPUTID", "9:0", "/TERVANO"}, "TERVANO\nNo filename entered\n", 2},
        {{"/TERVAN", "f", "/INPUTID", "0:4"}, "Input SCSI adapter 0, ID number: 4\n" + no_mode, 1},
        {{"/TERVANOX", "f"}, no_mode, 1},
        {{"/WAV2DAT", "f", "/INPUTID", "0:4"}, "WAV2DAT\nInput SCSI adapter 0, ID number: 4\nNo output ID entered\n", 1},
        {{"/DAT2DAT"}, "DAT2DAT\nNo input ID entered\n", 1},
        {{"/DAT2DAT", "/INPUTID", "0:4", "/OUTPUTID", "0:4"}, "DAT2DAT\nInput SCSI adapter 0, ID number: 4\nOutput SCSI adapter 0, ID number: 4\nInput and Output IDs must be different \n", 1},
        {{"/OUTPUTID", "9:0", "/INPUTID", "8:0", "/DAT2DAT", "/SEEK"}, "DAT2DAT\ninput SCSI Adapter number: 8, out of range 0-7\n", 1},
        {{"/TERVANO", "f", "/INPUTID"}, "TERVANO\nNo ID entered\n", 1},
        {{"/TERVANO", "f", "/INPUTID", "8:1"}, "TERVANO\ninput SCSI Adapter number: 8, out of range 0-7\n", 1},
        {{"/TERVANO", "f", "/INPUTID", "1:9"}, "TERVANO\ninput SCSI ID number: 9, out of range 0-7\n", 1},
        {{"/TERVANO", "f", "/INPUTID", "-1:3"}, "TERVANO\ninput SCSI Adapter number: -1, out of range 0-7\n", 1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "9:0"}, "WAV2DAT\noutput SCSI Adapter number: 9, out of range 0-7\n", 1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:8"}, "WAV2DAT\noutput SCSI ID number: 8, out of range 0-7\n", 1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:x"}, "WAV2DAT\noutput SCSI address \"0:x\" is not adapter:ID (for example 0:4)\n", 1},
        {{"/TERVANO", "f", "/INPUTID", "0:4", "/SEEK", "ABSTIME"}, kTapeToWavEcho + "No seek info entered\n", 1},
        {tape_to_wav_seek("ABSTIM", "0:0:0:0"), kTapeToWavEcho + "Unknown seek type\n", 1},
        {tape_to_wav_seek("PROGNUM", "5a"), kTapeToWavEcho + "Seek program number \"5a\" is not a number\n", 1},
        {tape_to_wav_seek("PROGNUM", "0"), kTapeToWavEcho + "Seek program number 0 out of range 1-799\n", 1},
        {tape_to_wav_seek("PROGNUM", "800"), kTapeToWavEcho + "Seek program number 800 out of range 1-799\n", 1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:4", "/SEEK", "PROGNUM", "3"}, "WAV2DAT\nOutput SCSI adapter 0, ID number: 4\nNo input ID entered for /SEEK\n", 1},
        // clang-format on
    };
    for (const char* bad : {"4", "0:4junk", "", "0:4:1", " 0:4", ":4", "0:", "99999999999:1"}) {
        cases.push_back({{"/TERVANO", "f", "/INPUTID", bad},
                         std::string("TERVANO\ninput SCSI address \"") + bad +
                             "\" is not adapter:ID (for example 0:4)\n",
                         1});
    }
    // Each field has 8 bits and two BCD digits on tape: nothing may spill into the next.
    for (const char* far : {"0:75:0:0", "0:0:60:0", "0:0:0:34", "100:0:0:0"}) {
        cases.push_back({tape_to_wav_seek("ABSTIME", far),
                         kTapeToWavEcho + "Seek time \"" + far + far_time, 1});
    }
    for (const char* bad : {"0:12:30", "0:12:30:0:1", "0:12:30:x", ""}) {
        cases.push_back({tape_to_wav_seek("RUNTIME", bad),
                         kTapeToWavEcho + "Seek time \"" + bad + bad_time, 1});
    }
    for (const auto& [args, console, result] : cases) {
        Parsed p = parse(args);
        EXPECT_EQ(std::tie(p.console, p.result), std::tie(console, result));
    }
}

}  // namespace
