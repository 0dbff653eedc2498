// Drive identification, preparation and release against simulated drives: the drive
// table and the console trace of every step.

#include "scsi/drive_setup.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fake_drive.h"

namespace {

// A drive and its tape. identity: vendor (8), product (16) and revision (4) as the inquiry
// data holds them, blank-padded. works: mode pages, load and rewind succeed.
struct SimDrive {
    std::string identity = "ARCHIVE Python 25601-XXX2.63";
    bool mounted = true, answers_inquiry = true, works = true, mrs_switchable = true;
    bool mrs_off = false;
    uint8_t density = 0x13;
};
const char* const kSdt9000 = "SONY    SDT-9000        12.2";

DriveReply answer(SimDrive& d, const RecordedCommand& c) {
    const DriveReply refused = reply_check(0x05, 0x24, 0x00);
    const DriveReply no_tape = reply_check(0x02, 0x3A, 0x00);
    switch (c.cdb[0]) {
        case 0x12: {
            Bytes data(8, 0);
            data.insert(data.end(), d.identity.begin(), d.identity.end());
            return d.answers_inquiry ? DriveReply{.data = data} : refused;
        }
        case 0x00:
            return d.mounted ? DriveReply{} : no_tape;
        case 0x1A: {
            // Page 0x30 ends two bytes after the MRS byte: MODE SELECT sends back the mode
            // data length in bytes, one less than MODE SENSE returned.
            Bytes data(c.cdb[2] == 0x30 ? 18 : 12, 0);
            data[0] = static_cast<uint8_t>(data.size() - 1);
            data[4] = d.density;
            if (c.cdb[2] == 0x30) data[15] = d.mrs_off ? 0x08 : 0x00;
            return d.works ? DriveReply{.data = data} : refused;
        }
        case 0x15:
            if (!d.works) return refused;
            if (c.data_out.size() == 12) d.density = c.data_out[4];  // the density list
            if (c.data_out.size() != 12 && d.mrs_switchable) d.mrs_off = c.data_out[15] & 0x08;
            return {};
        case 0x1B:
        case 0x01:
            return d.works ? DriveReply{} : no_tape;
        default:
            return refused;
    }
}

class DriveSetupTest : public DriveTest {
protected:
    void SetUp() override {
        DriveTest::SetUp();
        drive.respond = [this](const RecordedCommand& c) {
            auto found = bay.find(c.target);
            return found == bay.end() ? DriveReply{.status = SS_NO_DEVICE}
                                      : answer(found->second, c);
        };
    }
    // Drives on adapter 0; a negative target names no drive.
    void name_drives(int input_target, int output_target) {
        job.input_id_given = input_target >= 0 ? 3 : 0;
        job.input = {0, input_target, 0};
        job.output_id_given = output_target >= 0 ? 5 : 0;
        job.output = {0, output_target, 0};
    }
    // What the step printed, then "=> " and its result.
    std::string trace(int (*step)(JobState*)) {
        testing::internal::CaptureStdout();
        int result = step(&job);
        return testing::internal::GetCapturedStdout() + "=> " + std::to_string(result);
    }

    std::map<int, SimDrive> bay;  // by target
    JobState job{};
};

TEST(DriveTable, IdentifiesFamiliesByCaseSensitivePrefix) {
    EXPECT_EQ(identify_drive("ARCHIVE ", "Python 25501-XXX9.99"), DRIVE_PYTHON);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-9000        7.77"), DRIVE_SDT9000);
    EXPECT_EQ(identify_drive("ARCHIVE ", "PYTHON 25601-XXX2.63"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-5000        3.26"), DRIVE_UNKNOWN);
}

TEST_F(DriveSetupTest, IdentificationFailuresStopThePreparation) {
    bay[4] = {.identity = kSdt9000};
    name_drives(4, 5);
    std::string printed = trace(configure_drives);
    EXPECT_TRUE(printed.ends_with("Configuring output drive 0:5:0...\nno device at 0:5:0\n=> 1"))
        << printed;
    name_drives(4, -1);
    bay[4].answers_inquiry = false;
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\n=> 1");
    bay[4] = {.identity = "Archive Python 25601-XXX2.63"};
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\ndrive is unknown\n=> 2");
}

// The output kind left over from an earlier run is reset: a Python drive is not unloaded.
TEST_F(DriveSetupTest, FailedStepsContinueAnyway) {
    bay[4] = {.identity = kSdt9000, .mounted = false, .works = false};
    bay[3] = SimDrive{};
    name_drives(4, 3);
    job.output_drive_kind = 1;
    EXPECT_EQ(trace(configure_drives),
              "Configuring input drive...\n"
              " - found drive SONY     SDT-9000        12.2\n"
              " - waiting (up to 60 seconds) for tape to mount...failed, continuing anyway\n"
              " - setting drive in audio mode...get mode page retval -1\n"
              "Failed to set new density\n"
              "failed, continuing anyway\n"
              " - issuing a tape load...load failed; 04023a00\n"
              "failed, continuing anyway\n"
              "Configuring output drive 0:3:0...\n"
              " - found drive ARCHIVE  Python 25601-XXX2.63\n"
              " - waiting (up to 60 seconds) for tape to mount...done\n"
              " - setting drive in audio mode...done\n=> 0");
    EXPECT_GE(drive.now_ms, 60000u);  // one short poll, then a minute of polls
    EXPECT_LE(drive.now_ms, 60200u);
    EXPECT_EQ(trace(close_drives),
              "\n - closing input drive...\n"
              " - issuing a tape unload...load failed; 04023a00\n"
              "failed, continuing anyway\n"
              " - setting drive back to data mode...get mode page retval -1\n"
              "Failed to set new density\n"
              "failed, continuing anyway\n"
              " - closing output drive...\n=> 0");
}

TEST_F(DriveSetupTest, MrsIsTurnedOffOnlyOnTheListedFirmware) {
    name_drives(4, -1);
    job.mrs_off = 2;
    // The line about MRS, when there is one, for each drive in turn.
    std::vector<std::string> lines;
    auto prepare = [&](SimDrive drive) {
        bay[4] = drive;
        std::string printed = trace(configure_drives);
        lines.push_back(printed.substr(std::min(printed.find("Turning"), printed.size())));
    };
    const std::string python_01931 = "ARCHIVE Python 01931-XXX";
    prepare({.identity = python_01931 + "5.63"});
    prepare(bay[4]);  // now off
    prepare({.identity = python_01931 + "5.56", .mrs_switchable = false});
    prepare({.identity = python_01931 + "5AC "});
    for (const char* revision : {"5.64", "5.6 "}) prepare({.identity = python_01931 + revision});
    prepare(SimDrive{});
    job.mrs_off = 0;
    prepare({.identity = python_01931 + "5.63"});
    const std::string off = "Turning off MRS mode...";
    EXPECT_EQ(lines, (std::vector<std::string>{off + "done.\n=> 0", off + "already off.\n=> 0",
                                               off + "could not be turned off.\n=> 0",
                                               off + "done.\n=> 0", "", "", "", ""}));
}

TEST_F(DriveSetupTest, RewindsOnRequestOrForCopies) {
    bay[4] = {.works = false};
    bay[5] = {.identity = kSdt9000};
    name_drives(4, 5);
    job.mode_tape_to_wav = 1;
    EXPECT_EQ(trace(rewind_drives), "=> 0");
    EXPECT_TRUE(drive.commands.empty());
    for (int32_t JobState::*why :
         {&JobState::rewind, &JobState::mode_tape_to_image, &JobState::mode_tape_to_tape}) {
        job.*why = 7;
        EXPECT_EQ(trace(rewind_drives),
                  " - rewinding 0:4 input tape to beginning...rewind failed: 04023a00\n"
                  "failed, continuing anyway\n"
                  " - rewinding 0:5 output tape to beginning...done\n=> 0");
        job.*why = 0;
    }
}

}  // namespace
