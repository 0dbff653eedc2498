#include "platform/profile_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!path_.empty()) unlink(path_.c_str());
    }

    const char* write_file(const std::string& text) {
        char name[] = "/tmp/profile_file_test_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        path_ = name;
        return path_.c_str();
    }

    std::string get(const char* section, const char* key, const char* fallback = "DEFAULT") {
        char buffer[100];
        size_t length =
            profile_get_string(section, key, fallback, buffer, sizeof buffer, path_.c_str());
        EXPECT_EQ(length, strlen(buffer));
        return buffer;
    }

    std::string path_;
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
        "Half=\"not closed\n"
        "EMPTY=\n"
        "[files]\n"
        "FILE_005=from a repeated section\n"
        "FILE_001=not the first\n");
    EXPECT_EQ(get("files", "file_001"), "song one.wav");
    EXPECT_EQ(get("FILES", "FILE_002"), "DEFAULT");
    EXPECT_EQ(get("FILES", "FILE_003"), "DEFAULT");
    EXPECT_EQ(get("FILES", "FILE_004"), "a;b.wav ; this stays");
    EXPECT_EQ(get("FILES", "FILE_005"), "from a repeated section");
    EXPECT_EQ(get("CONFIG", "startid"), "ON");
    EXPECT_EQ(get("config", "QUOTED"), "  blanks kept  ");
    EXPECT_EQ(get("config", "half"), "\"not closed");
    EXPECT_EQ(get("CONFIG", "EMPTY"), "");
    EXPECT_EQ(get("CONFIG", "stray"), "DEFAULT");
    EXPECT_EQ(get("NOPE", "FILE_001"), "DEFAULT");
    EXPECT_EQ(get("CONFIG", "MISSING", nullptr), "");

    ProfileFile profile;
    ASSERT_EQ(profile_load(path_.c_str(), &profile), PROFILE_OK);
    ASSERT_EQ(profile.sections.size(), 2u);
    EXPECT_EQ(profile.sections[0], "FILES");
    EXPECT_EQ(profile.sections[1], "config");
}

TEST_F(ProfileFileTest, MissingFileGivesTheDefault) {
    char buffer[16];
    EXPECT_EQ(profile_get_string("FILES", "FILE_001", "JUNK", buffer, sizeof buffer,
                                 "/nonexistent/folder/set.cue"),
              4u);
    EXPECT_STREQ(buffer, "JUNK");
    ProfileFile profile;
    EXPECT_EQ(profile_load("/nonexistent/set.cue", &profile), PROFILE_UNREADABLE);
    EXPECT_EQ(profile_load("/tmp", &profile), PROFILE_UNREADABLE);
    EXPECT_EQ(profile_load(nullptr, &profile), PROFILE_UNREADABLE);
}

TEST_F(ProfileFileTest, CopiesNeverOverflowTheBuffer) {
    write_file("[s]\nkey=0123456789\n");
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(profile_get_string("s", "key", "", buffer, 5, path_.c_str()), 4u);
    EXPECT_STREQ(buffer, "0123");
    EXPECT_EQ(buffer[5], 'x');
    EXPECT_EQ(profile_get_string("s", "key", "", buffer, 1, path_.c_str()), 0u);
    EXPECT_STREQ(buffer, "");
    buffer[0] = 'x';
    EXPECT_EQ(profile_get_string("s", "key", "", buffer, 0, path_.c_str()), 0u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(profile_get_string("s", "absent", "a long default", buffer, 3, path_.c_str()), 2u);
    EXPECT_STREQ(buffer, "a ");
}

TEST_F(ProfileFileTest, ReadsWholeNumbersOnly) {
    write_file(
        "[n]\n"
        "dec=  42 \n"
        "hex=0x80\n"
        "neg=-7\n"
        "plus=+3\n"
        "big=99999999999999999999\n"
        "word=12abc\n"
        "space=1 2\n"
        "sign=--1\n"
        "bare=0x\n"
        "empty=\n");
    ProfileFile profile;
    ASSERT_EQ(profile_load(path_.c_str(), &profile), PROFILE_OK);
    long long value = -1;
    EXPECT_EQ(profile_read_int(profile, "n", "dec", 0, 0, 100, &value), PROFILE_OK);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(profile_read_int(profile, "n", "hex", 0, 0, 255, &value), PROFILE_OK);
    EXPECT_EQ(value, 0x80);
    EXPECT_EQ(profile_read_int(profile, "n", "neg", 0, -10, 10, &value), PROFILE_OK);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(profile_read_int(profile, "n", "plus", 0, 0, 10, &value), PROFILE_OK);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(profile_read_int(profile, "n", "empty", 5, 0, 10, &value), PROFILE_OK);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(profile_read_int(profile, "n", "absent", 6, 0, 10, &value), PROFILE_OK);
    EXPECT_EQ(value, 6);

    value = 77;
    EXPECT_EQ(profile_read_int(profile, "n", "dec", 0, 0, 41, &value), PROFILE_BAD_NUMBER);
    EXPECT_EQ(profile_read_int(profile, "n", "neg", 0, 0, 10, &value), PROFILE_BAD_NUMBER);
    for (const char* key : {"big", "word", "space", "sign", "bare"}) {
        EXPECT_EQ(profile_read_int(profile, "n", key, 0, -1000, 1000, &value), PROFILE_BAD_NUMBER)
            << key;
    }
    EXPECT_EQ(value, 77);
}

TEST_F(ProfileFileTest, RefusesOversizedFiles) {
    write_file("[s]\nkey=value\n");
    ASSERT_EQ(truncate(path_.c_str(), kProfileMaxFileBytes + 1), 0);
    ProfileFile profile;
    EXPECT_EQ(profile_load(path_.c_str(), &profile), PROFILE_TOO_LARGE);
    EXPECT_EQ(get("s", "key"), "DEFAULT");
}

}  // namespace
