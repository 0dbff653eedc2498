// Drive identification, preparation and release against vdat drives reached through the
// transport: the drive table and the console trace of every step.

#include "scsi/drive_setup.h"

#include <gtest/gtest.h>

#include <string>

#include "../vdat/vdat_test_support.h"
#include "scsi/aspi_transport.h"

namespace {

const std::string kSdt9000 = "vendor=SONY\nproduct=SDT-9000\nrevision=12.2\n";
const std::string kMounted = "cassette=tape.dat\n", kNoModePages = "refuse=21,26\n";

class DriveSetupTest : public vdat_test::VdatTest {
protected:
    void SetUp() override {
        VdatTest::SetUp();
        // Left installed after the test: every test of this binary sets up its own provider.
        aspi_set_provider_for_test(GetASPI32SupportInfo, SendASPI32Command);
        cassette("tape.dat", {});
    }
    // Each bay in a new process of the program.
    void bay(const std::string& text) { restart(), VdatTest::bay(text); }
    // The input drive is 0:4; a negative target names no output drive.
    void name_output(int target) {
        job.input_id_given = 3;
        job.input = {0, 4, 0};
        job.output_id_given = target >= 0 ? 5 : 0;
        job.output = {0, target, 0};
    }
    // What the step printed, then "=> " and its result.
    std::string trace(int (*step)(JobState*)) {
        testing::internal::CaptureStdout();
        int result = step(&job);
        return testing::internal::GetCapturedStdout() + "=> " + std::to_string(result);
    }

    JobState job{};
};

TEST(DriveTable, IdentifiesFamiliesByCaseSensitivePrefix) {
    EXPECT_EQ(identify_drive("ARCHIVE ", "Python 25501-XXX9.99"), DRIVE_PYTHON);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-9000        7.77"), DRIVE_SDT9000);
    EXPECT_EQ(identify_drive("ARCHIVE ", "PYTHON 25601-XXX2.63"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-5000        3.26"), DRIVE_UNKNOWN);
}

TEST_F(DriveSetupTest, IdentificationFailuresStopThePreparation) {
    bay("[0:4]\n" + kSdt9000 + kMounted);
    name_output(5);
    std::string printed = trace(configure_drives);
    EXPECT_TRUE(printed.ends_with("Configuring output drive 0:5:0...\nno device at 0:5:0\n=> 1"))
        << printed;
    name_output(-1);
    bay("[0:4]\n" + kSdt9000 + "refuse=18\n");
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\n=> 1");
    bay("[0:4]\nvendor=Archive\n");
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\ndrive is unknown\n=> 2");
}

// The output kind left over from an earlier run is reset: a Python drive is not unloaded.
TEST_F(DriveSetupTest, FailedStepsContinueAnyway) {
    bay("[0:4]\n" + kSdt9000 + kNoModePages + "[0:3]\n" + kMounted);
    name_output(3);
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
    EXPECT_GE(vdat_test::g_now, 1000 + 60000u);  // one short poll, then a minute of polls
    EXPECT_LE(vdat_test::g_now, 1000 + 60200u);
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
    name_output(-1);
    job.mrs_off = 2;
    // The line about MRS, when there is one, for each drive in turn; no keys: the same
    // drive again.
    std::vector<std::string> lines;
    auto prepare = [&](const std::string& keys) {
        if (!keys.empty()) bay("[0:4]\n" + keys);
        std::string printed = trace(configure_drives);
        lines.push_back(printed.substr(std::min(printed.find("Turning"), printed.size())));
    };
    const std::string python_01931 = "product=Python 01931-XXX\nrevision=";
    prepare(python_01931 + "5.63");
    prepare("");  // now off
    prepare(python_01931 + "5.56\nmrs_stuck=1");
    prepare(python_01931 + "5AC");
    for (const char* revision : {"5.64", "5.6"}) prepare(python_01931 + revision);
    prepare("revision=2.63");
    job.mrs_off = 0;
    prepare(python_01931 + "5.63");
    const std::string off = "Turning off MRS mode...";
    EXPECT_EQ(lines, (std::vector<std::string>{off + "done.\n=> 0", off + "already off.\n=> 0",
                                               off + "could not be turned off.\n=> 0",
                                               off + "done.\n=> 0", "", "", "", ""}));
}

TEST_F(DriveSetupTest, RewindsOnRequestOrForCopies) {
    bay("[0:4]\n[0:5]\n" + kSdt9000 + kMounted);
    name_output(5);
    job.mode_tape_to_wav = 1;
    EXPECT_EQ(trace(rewind_drives), "=> 0");
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
