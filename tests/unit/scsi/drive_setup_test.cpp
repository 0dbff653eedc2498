// Drive identification, preparation and release against simulated drives: the drive
// table and the console trace of every step.

#include "scsi/drive_setup.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_drive.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct SimDrive {
    std::string vendor = "ARCHIVE";
    std::string product = "Python 25601-XXX";
    std::string revision = "2.63";
    bool mounted = true;
    bool answers_inquiry = true;
    bool works = true;  // mode pages, load and rewind succeed
    bool mrs_switchable = true;
    bool mrs_off = false;
    uint8_t density = 0x13;
};

SimDrive sdt9000() {
    return {"SONY", "SDT-9000", "12.2"};
}
SimDrive python_01931(const char* revision) {
    return {"ARCHIVE", "Python 01931-XXX", revision};
}

DriveReply answer(SimDrive& d, const RecordedCommand& c) {
    const DriveReply refused = reply_check(0x05, 0x24, 0x00);
    switch (c.cdb[0]) {
        case 0x12: {
            if (!d.answers_inquiry) return refused;
            Bytes data(37, 0);  // the fields are blank-padded
            snprintf(reinterpret_cast<char*>(&data[8]), 29, "%-8s%-16s%-4s", d.vendor.c_str(),
                     d.product.c_str(), d.revision.c_str());
            return reply_ok(data);
        }
        case 0x00:
            return d.mounted ? reply_ok() : reply_check(0x02, 0x3A, 0x00);
        case 0x1A: {
            if (!d.works) return refused;
            // Page 0x30 ends two bytes after the MRS byte: MODE SELECT sends back the mode
            // data length in bytes, one less than MODE SENSE returned.
            Bytes data(c.cdb[2] == 0x30 ? 18 : 12, 0);
            data[0] = static_cast<uint8_t>(data.size() - 1);
            data[4] = d.density;
            if (c.cdb[2] == 0x30) data[15] = d.mrs_off ? 0x08 : 0x00;
            return reply_ok(data);
        }
        case 0x15:
            if (!d.works) return refused;
            if (c.data_out.size() == 12) {  // the density list
                d.density = c.data_out[4];
            } else if (d.mrs_switchable) {
                d.mrs_off = (c.data_out[15] & 0x08) != 0;
            }
            return reply_ok();
        case 0x1B:
        case 0x01:
            return d.works ? reply_ok() : reply_check(0x02, 0x3A, 0x00);
        default:
            return refused;
    }
}

class DriveSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_drive_install(&drive);
        fake_clock_install(&clock);
        drive.respond = [this](const RecordedCommand& c) {
            auto found = bay.find(c.target);
            if (found == bay.end()) return reply_status(SS_NO_DEVICE);
            return answer(found->second, c);
        };
    }
    void TearDown() override {
        fake_clock_remove();
        fake_drive_remove();
    }
    // Drives on adapter 0; a negative target names no drive.
    void name_drives(int input_target, int output_target) {
        job.input_id_given = input_target >= 0 ? 3 : 0;
        job.input = {0, input_target, 0};
        job.output_id_given = output_target >= 0 ? 5 : 0;
        job.output = {0, output_target, 0};
    }
    template <typename Step>
    std::string trace(Step step) {
        testing::internal::CaptureStdout();
        result = step(&job);
        return testing::internal::GetCapturedStdout();
    }

    FakeDrive drive;
    FakeClock clock;
    std::map<int, SimDrive> bay;  // by target
    JobState job{};
    int result = -99;
};

TEST(DriveTable, IdentifiesFamiliesByCaseSensitivePrefix) {
    EXPECT_EQ(identify_drive("ARCHIVE ", "Python 25501-XXX9.99"), DRIVE_PYTHON);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-9000        7.77"), DRIVE_SDT9000);
    EXPECT_EQ(identify_drive("ARCHIVE ", "PYTHON 25601-XXX2.63"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-5000        3.26"), DRIVE_UNKNOWN);
}

TEST_F(DriveSetupTest, PreparesAndReleasesAnSdt9000InputAndAPythonOutput) {
    bay[4] = sdt9000();
    bay[3] = SimDrive{};
    name_drives(4, 3);
    job.output_drive_kind = 1;  // left over: the preparation resets it
    EXPECT_EQ(trace(configure_drives),
              "Configuring input drive...\n"
              " - found drive SONY     SDT-9000        12.2\n"
              " - waiting (up to 60 seconds) for tape to mount...done\n"
              " - setting drive in audio mode...done\n"
              " - issuing a tape load...done\n"
              "Configuring output drive 0:3:0...\n"
              " - found drive ARCHIVE  Python 25601-XXX2.63\n"
              " - waiting (up to 60 seconds) for tape to mount...done\n"
              " - setting drive in audio mode...done\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(clock.sleeps, 0u) << "a mounted tape is not waited for";

    EXPECT_EQ(trace(close_drives),
              "\n - closing input drive...\n"
              " - issuing a tape unload...done\n"
              " - setting drive back to data mode...done\n"
              " - closing output drive...\n");
    job = JobState{};
    EXPECT_EQ(trace(close_drives), "\n");
}

TEST_F(DriveSetupTest, IdentificationFailuresStopThePreparation) {
    bay[4] = sdt9000();
    name_drives(4, 5);
    std::string printed = trace(configure_drives);
    EXPECT_TRUE(printed.ends_with("Configuring output drive 0:5:0...\nno device at 0:5:0\n"))
        << printed;
    EXPECT_EQ(result, 1);

    name_drives(4, -1);
    bay[4].answers_inquiry = false;
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\n");
    EXPECT_EQ(result, 1);

    bay[4] = SimDrive{"Archive"};
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\ndrive is unknown\n");
    EXPECT_EQ(result, 2);
}

TEST_F(DriveSetupTest, FailedStepsContinueAnyway) {
    bay[4] = sdt9000();
    bay[4].mounted = false;
    bay[4].works = false;
    name_drives(4, -1);
    EXPECT_EQ(trace(configure_drives),
              "Configuring input drive...\n"
              " - found drive SONY     SDT-9000        12.2\n"
              " - waiting (up to 60 seconds) for tape to mount...failed, continuing anyway\n"
              " - setting drive in audio mode...get mode page retval -1\n"
              "Failed to set new density\n"
              "failed, continuing anyway\n"
              " - issuing a tape load...load failed; 04023a00\n"
              "failed, continuing anyway\n");
    EXPECT_EQ(result, 0);
    EXPECT_GE(clock.now_ms, 60000u);  // one short poll, then a minute of polls
    EXPECT_LE(clock.now_ms, 60200u);

    EXPECT_EQ(trace(close_drives),
              "\n - closing input drive...\n"
              " - issuing a tape unload...load failed; 04023a00\n"
              "failed, continuing anyway\n"
              " - setting drive back to data mode...get mode page retval -1\n"
              "Failed to set new density\n"
              "failed, continuing anyway\n");
}

TEST_F(DriveSetupTest, MrsIsTurnedOffOnlyOnTheListedFirmware) {
    name_drives(4, -1);
    job.mrs_off = 2;
    auto mrs_line = [this] {
        std::string printed = trace(configure_drives);
        size_t from = printed.find("Turning");
        return from == std::string::npos ? std::string() : printed.substr(from);
    };
    bay[4] = python_01931("5.63");
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...done.\n");
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...already off.\n");

    bay[4] = python_01931("5.56");
    bay[4].mrs_switchable = false;
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...could not be turned off.\n");

    bay[4] = python_01931("5AC");  // blank-padded to "5AC "
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...done.\n");

    for (SimDrive other : {python_01931("5.64"), python_01931("5.6"), SimDrive{}}) {
        bay[4] = other;
        EXPECT_EQ(mrs_line(), "") << other.revision;
    }
    job.mrs_off = 0;
    bay[4] = python_01931("5.63");
    EXPECT_EQ(mrs_line(), "");
}

TEST_F(DriveSetupTest, RewindsOnRequestOrForCopies) {
    bay[4] = SimDrive{};
    bay[4].works = false;
    bay[5] = sdt9000();
    name_drives(4, 5);
    job.mode_tape_to_wav = 1;
    EXPECT_EQ(trace(rewind_drives), "");
    EXPECT_TRUE(drive.commands.empty());

    const std::string rewound =
        " - rewinding 0:4 input tape to beginning...rewind failed: 04023a00\n"
        "failed, continuing anyway\n"
        " - rewinding 0:5 output tape to beginning...done\n";
    for (int32_t JobState::*why :
         {&JobState::rewind, &JobState::mode_tape_to_image, &JobState::mode_tape_to_tape}) {
        job.*why = 7;
        EXPECT_EQ(trace(rewind_drives), rewound);
        job.*why = 0;
    }
}

}  // namespace
