#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int result;
    std::string console;
    JobState job;
    std::vector<std::string> args_after;
};

// Runs the parser on "tervano" and `args` over a JobState full of leftovers.
Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tervano");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed out;
    memset(&out.job, 0x55, sizeof out.job);
    testing::internal::CaptureStdout();
    out.result = parse_command_line(static_cast<int>(args.size()), argv.data(), &out.job);
    fflush(stdout);
    out.console = testing::internal::GetCapturedStdout();
    out.args_after.assign(args.begin() + 1, args.end());
    return out;
}

const std::vector<std::string> kTapeToWav = {"/TERVANO", "f", "/INPUTID", "0:4"};
const std::string kTapeToWavEcho = "TERVANO\nInput SCSI adapter 0, ID number: 4\n";

std::vector<std::string> tape_to_wav_with(std::vector<std::string> more) {
    more.insert(more.begin(), kTapeToWav.begin(), kTapeToWav.end());
    return more;
}

TEST(CommandLine, LowerCaseKeywordsMatchAndArgumentsStayAsTyped) {
    Parsed p = parse({"/tervano", "Tape/Take1", "/inputid", "1:3"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.console, "TERVANO\nInput SCSI adapter 1, ID number: 3\n");
    EXPECT_STREQ(p.job.file_name, "Tape/Take1");
    EXPECT_EQ(p.job.input.adapter, 1);
    EXPECT_EQ(p.job.input.target, 3);
    EXPECT_EQ(p.job.input.lun, 0);
    EXPECT_EQ(p.args_after,
              (std::vector<std::string>{"/tervano", "Tape/Take1", "/inputid", "1:3"}));
}

TEST(CommandLine, KeywordsRecordTheirLastPositionAndTheLastModeTakesTheFileName) {
    Parsed p = parse({"/REWIND",  "/INPUTID", "0:4",      "/OUTPUTID", "1:5",
                      "/WAVEOUT", "/STARTID", "/MRSOFF",  "/STOPEOT",  "/ERRORCORRECT",
                      "/DAT2DAT", "/REWIND",  "/TERVANO", "a",         "/WAV2DAT",
                      "b",        "/DAT2IMG", "c",        "/IMG2DAT",  "/startid"});
    EXPECT_EQ(p.result, 0);
    const JobState& j = p.job;
    EXPECT_EQ(j.rewind, 12);
    EXPECT_EQ(j.input_id_given, 2);
    EXPECT_EQ(j.output_id_given, 4);
    EXPECT_EQ(j.wave_out, 6);
    EXPECT_EQ(j.split_on_start_id, 20);  // also the file name
    EXPECT_EQ(j.mrs_off, 8);
    EXPECT_EQ(j.stop_at_eot, 9);
    EXPECT_EQ(j.error_correct, 10);
    EXPECT_EQ(j.mode_tape_to_tape, 11);
    EXPECT_EQ(j.mode_tape_to_wav, 13);
    EXPECT_EQ(j.mode_wav_to_tape, 15);
    EXPECT_EQ(j.mode_tape_to_image, 17);
    EXPECT_EQ(j.mode_image_to_tape, 19);
    EXPECT_EQ(j.seek, 0);
    EXPECT_STREQ(j.file_name, "/startid");
    EXPECT_EQ(p.console,
              "DAT2DAT\nTERVANO\nWAV2DAT\nDAT2IMG\nIMG2DAT\nInput SCSI adapter 0, ID number: 4\n"
              "Output SCSI adapter 1, ID number: 5\n");
}

TEST(CommandLine, AcceptedLines) {
    std::string longest(313, 'n');
    EXPECT_STREQ(parse({"/WAV2DAT", longest, "/OUTPUTID", "0:4"}).job.file_name, longest.c_str());
    EXPECT_EQ(parse({"/DAT2DAT", "/INPUTID", "0:4", "/OUTPUTID", "1:4"}).result, 0);
    EXPECT_EQ(parse(tape_to_wav_with({"/OUTPUTID", "0:4"})).result, 0);  // same IDs, not a copy

    struct Seek {
        const char* kind;
        const char* value;
        int32_t seek_kind;
        uint32_t target;
    };
    for (const Seek& s :
         {Seek{"abstime", "0:12:30:0", 1, 0x000C1E00u}, Seek{"PROGNUM", "5", 0, 5u},
          Seek{"Prognum", "799", 0, 799u}, Seek{"RunTime", "99:59:59:33", 2, 0x633B3B21u},
          Seek{"PROGTIME", "1:2:3:4", 3, 0x01020304u}}) {
        Parsed p = parse(tape_to_wav_with({"/SEEK", s.kind, s.value}));
        EXPECT_EQ(p.result, 0) << s.value;
        EXPECT_EQ(p.console, kTapeToWavEcho);
        EXPECT_EQ(p.job.seek, 5);
        EXPECT_EQ(p.job.seek_kind, s.seek_kind);
        EXPECT_EQ(p.job.seek_target, s.target) << s.value;
    }
}

struct Rejection {
    std::vector<std::string> args;
    std::string console;
    int result;
};

void expect_rejected(const std::vector<Rejection>& cases) {
    for (const Rejection& c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.console, c.console);
        EXPECT_EQ(p.result, c.result) << c.console;
    }
}

TEST(CommandLine, ModesFileNamesAndTheOrderOfChecks) {
    const std::string no_mode = "No mode entered (eg: /tervano, /wav2dat etc.)\n";
    expect_rejected({
        {{"/TERVANO"}, "TERVANO\nNo filename entered\n", 2},
        {{"/TERVANO", std::string(314, 'n'), "/INPUTID", "0:4"},
         "TERVANO\nFilename longer than 313 characters\n",
         2},
        {{"/TERVAN", "f", "/INPUTID", "0:4"}, "Input SCSI adapter 0, ID number: 4\n" + no_mode, 1},
        {{"/TERVANOX", "f"}, no_mode, 1},
        {{"/WAV2DAT", "f", "/INPUTID", "0:4"},
         "WAV2DAT\nInput SCSI adapter 0, ID number: 4\nNo output ID entered\n",
         1},
        {{"/DAT2DAT"}, "DAT2DAT\nNo input ID entered\n", 1},
        {{"/DAT2DAT", "/INPUTID", "0:4", "/OUTPUTID", "0:4"},
         "DAT2DAT\nInput SCSI adapter 0, ID number: 4\nOutput SCSI adapter 0, ID number: 4\n"
         "Input and Output IDs must be different \n",
         1},
        // The file name comes before the addresses, the input before the output, the
        // addresses before the seek.
        {{"/INPUTID", "9:0", "/TERVANO"}, "TERVANO\nNo filename entered\n", 2},
        {{"/OUTPUTID", "9:0", "/INPUTID", "8:0", "/DAT2DAT", "/SEEK"},
         "DAT2DAT\ninput SCSI Adapter number: 8, out of range 0-7\n",
         1},
    });
}

TEST(CommandLine, DriveAddresses) {
    std::vector<Rejection> cases = {
        {{"/TERVANO", "f", "/INPUTID"}, "TERVANO\nNo ID entered\n", 1},
        {{"/TERVANO", "f", "/INPUTID", "8:1"},
         "TERVANO\ninput SCSI Adapter number: 8, out of range 0-7\n",
         1},
        {{"/TERVANO", "f", "/INPUTID", "1:9"},
         "TERVANO\ninput SCSI ID number: 9, out of range 0-7\n",
         1},
        {{"/TERVANO", "f", "/INPUTID", "-1:3"},
         "TERVANO\ninput SCSI Adapter number: -1, out of range 0-7\n",
         1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "9:0"},
         "WAV2DAT\noutput SCSI Adapter number: 9, out of range 0-7\n",
         1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:8"},
         "WAV2DAT\noutput SCSI ID number: 8, out of range 0-7\n",
         1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:x"},
         "WAV2DAT\noutput SCSI address \"0:x\" is not adapter:ID (for example 0:4)\n",
         1},
    };
    for (const char* bad : {"4", "0:4junk", "", "0:4:1", " 0:4", ":4", "0:", "99999999999:1"}) {
        cases.push_back({{"/TERVANO", "f", "/INPUTID", bad},
                         std::string("TERVANO\ninput SCSI address \"") + bad +
                             "\" is not adapter:ID (for example 0:4)\n",
                         1});
    }
    expect_rejected(cases);
}

TEST(CommandLine, SeekRejections) {
    std::vector<Rejection> cases = {
        {tape_to_wav_with({"/SEEK", "ABSTIME"}), kTapeToWavEcho + "No seek info entered\n", 1},
        {tape_to_wav_with({"/SEEK", "ABSTIM", "0:0:0:0"}), kTapeToWavEcho + "Unknown seek type\n",
         1},
        {tape_to_wav_with({"/SEEK", "PROGNUM", "5a"}),
         kTapeToWavEcho + "Seek program number \"5a\" is not a number\n", 1},
        {tape_to_wav_with({"/SEEK", "PROGNUM", "0"}),
         kTapeToWavEcho + "Seek program number 0 out of range 1-799\n", 1},
        {tape_to_wav_with({"/SEEK", "PROGNUM", "800"}),
         kTapeToWavEcho + "Seek program number 800 out of range 1-799\n", 1},
        {{"/WAV2DAT", "f", "/OUTPUTID", "0:4", "/SEEK", "PROGNUM", "3"},
         "WAV2DAT\nOutput SCSI adapter 0, ID number: 4\nNo input ID entered for /SEEK\n",
         1},
    };
    // 256 frames must not spill into the seconds.
    for (const char* far : {"0:75:0:0", "0:0:60:0", "0:0:0:34", "0:0:0:256", "100:0:0:0"}) {
        cases.push_back({tape_to_wav_with({"/SEEK", "ABSTIME", far}),
                         kTapeToWavEcho + "Seek time \"" + far +
                             "\" out of range (hours 0-99, minutes 0-59, seconds 0-59, "
                             "frames 0-33)\n",
                         1});
    }
    for (const char* bad : {"0:12:30", "0:12:30:0:1", "0:12:30:x", ""}) {
        cases.push_back({tape_to_wav_with({"/SEEK", "RUNTIME", bad}),
                         kTapeToWavEcho + "Seek time \"" + bad +
                             "\" is not hours:minutes:seconds:frames (for example 0:12:30:0)\n",
                         1});
    }
    expect_rejected(cases);
}

}  // namespace
