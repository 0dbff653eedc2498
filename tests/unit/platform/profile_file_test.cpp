#include "platform/profile_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(fd_ = mkstemp(path_), 0); }
    void TearDown() override {
        close(fd_);
        unlink(path_);
    }
    void write_file(const std::string& text) {
        ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string get(const char* section, const char* key, const char* fallback = "DEFAULT") {
        char buffer[100];
        size_t length = profile_get_string(section, key, fallback, buffer, sizeof buffer, path_);
        EXPECT_EQ(length, strlen(buffer));
        return buffer;
    }

    char path_[32] = "/tmp/profile_file_test_XXXXXX";
    int fd_ = -1;
};

TEST_F(ProfileFileTest, FindsKeysWithThePlatformSearchRules) {
    write_file(
        "\xEF\xBB\xBF"
        "stray=before any section\r\n"
        "[FILES]\r\n"
        "  FILE_001 =  song one.wav  \r\n"
        "; FILE_002=commented out\r\n"
        "   ;FILE_003=also a comment\r\n"
        "FILE_004=a;b.wav ; this stays\r\n"
        "no equals sign here\r\n"
        "file_001=second occurrence\r\n"
        "[ config ]\n"
        "STARTID=ON\n"
        "Quoted=\"  blanks kept  \"\n"
        "EMPTY=\n"
        "[files]\n"
        "FILE_005=from a repeated section\n"
        "FILE_001=not the first\n");
    const char* const cases[][3] = {
        {"files", "file_001", "song one.wav"},
        {"FILES", "FILE_002", "DEFAULT"},
        {"FILES", "FILE_003", "DEFAULT"},
        {"FILES", "FILE_004", "a;b.wav ; this stays"},
        {"FILES", "FILE_005", "from a repeated section"},
        {"CONFIG", "startid", "ON"},
        {"config", "QUOTED", "  blanks kept  "},
        {"CONFIG", "EMPTY", ""},
        {"CONFIG", "stray", "DEFAULT"},
        {"NOPE", "FILE_001", "DEFAULT"},
    };
    for (const auto& c : cases) EXPECT_EQ(get(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
    EXPECT_EQ(get("CONFIG", "MISSING", nullptr), "");

    ProfileFile profile;
    ASSERT_EQ(profile_load(path_, &profile), PROFILE_OK);
    EXPECT_EQ(profile.sections, (std::vector<std::string>{"FILES", "config"}));
}

TEST_F(ProfileFileTest, MissingOrOversizedFilesGiveTheDefault) {
    ProfileFile profile;
    for (const char* unreadable :
         {"/nonexistent/set.cue", "/tmp", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(profile_load(unreadable, &profile), PROFILE_UNREADABLE);
    }
    write_file("[s]\nkey=value\n");
    EXPECT_EQ(get("s", "key"), "value");
    ASSERT_EQ(ftruncate(fd_, kProfileMaxFileBytes + 1), 0);
    EXPECT_EQ(profile_load(path_, &profile), PROFILE_TOO_LARGE);
    EXPECT_EQ(get("s", "key"), "DEFAULT");
    unlink(path_);
    EXPECT_EQ(get("s", "key"), "DEFAULT");
}

TEST_F(ProfileFileTest, CopiesNeverOverflowTheBuffer) {
    write_file("[s]\nkey=0123456789\n");
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(profile_get_string("s", "key", "", buffer, 5, path_), 4u);
    EXPECT_EQ(profile_get_string("s", "key", "", buffer + 5, 0, path_), 0u);
    EXPECT_EQ(profile_get_string("s", "key", "", buffer + 6, 1, path_), 0u);
    EXPECT_EQ(std::string(buffer, 8), std::string("0123\0x\0\0", 8));
    EXPECT_EQ(profile_get_string("s", "absent", "a long default", buffer, 3, path_), 2u);
    EXPECT_STREQ(buffer, "a ");
}

TEST(ProfileNumbers, WholeNumbersOnlyAndTheDefaultForAnAbsentOrEmptyValue) {
    long long value = 0;
    for (auto [text, expected] : {std::pair{"  42 ", 42}, {"0x80", 128}, {"-7", -7}, {"+3", 3}}) {
        EXPECT_EQ(profile_parse_int(text, -10, 200, &value), 0) << text;
        EXPECT_EQ(value, expected);
    }
    for (const char* bad : {"201", "-11", "99999999999999999999", "12abc", "1 2", "--1", "0x"}) {
        EXPECT_EQ(profile_parse_int(bad, -10, 200, &value), -1) << bad;
    }
    EXPECT_EQ(value, 3) << "left alone";
    std::string text = "[n]\nempty=\nword=x\n";
    ProfileFile profile;
    profile_parse(text.data(), text.size(), &profile);
    for (const char* key : {"empty", "absent"}) {
        EXPECT_EQ(profile_read_int(profile, "n", key, 5, 0, 10, &value), PROFILE_OK);
        EXPECT_EQ(value, 5);
    }
    EXPECT_EQ(profile_read_int(profile, "n", "word", 5, 0, 10, &value), PROFILE_BAD_NUMBER);
}

}  // namespace
