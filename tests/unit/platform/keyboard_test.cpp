#include "platform/keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace {

TEST(Keyboard, ReadsKeysFromAPipeAndTreatsEndOfInputAsNoKey) {
    int saved_stdin = dup(STDIN_FILENO);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);

    keyboard_begin();
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_EQ(read_key(), -1);
    ASSERT_EQ(write(ends[1], "q\x1b[A", 4), 4);  // from a pipe every byte is a key
    EXPECT_NE(key_waiting(), 0);
    for (int expected : {int{'q'}, kKeyEsc, int{'['}, int{'A'}}) EXPECT_EQ(read_key(), expected);
    close(ends[1]);
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_EQ(read_key(), -1);
    keyboard_end();

    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
}

int queued_key = -1;
const KeySource kOneKeySource{[] { return queued_key >= 0 ? 1 : 0; },
                              [] { return std::exchange(queued_key, -1); }};

// The runner may have started us with SIGINT ignored, which the keyboard respects.
class StopSignals : public testing::Test {
protected:
    void SetUp() override {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGINT, &dfl, &saved_int_);
        sigaction(SIGTERM, &dfl, &saved_term_);
    }
    void TearDown() override {
        sigaction(SIGINT, &saved_int_, nullptr);
        sigaction(SIGTERM, &saved_term_, nullptr);
    }
    struct sigaction saved_int_ {};
    struct sigaction saved_term_ {};
};
using StopSignalsDeathTest = StopSignals;

TEST_F(StopSignals, QueueAnEscAheadOfWaitingKeysUntilTheKeyboardEnds) {
    EXPECT_EQ(keyboard_set_source(&kOneKeySource), nullptr);
    keyboard_begin();
    EXPECT_EQ(key_waiting(), 0);
    raise(SIGTERM);
    EXPECT_NE(key_waiting(), 0);
    EXPECT_EQ(read_key(), kKeyEsc);
    EXPECT_EQ(key_waiting(), 0);
    queued_key = 'a';
    raise(SIGINT);
    EXPECT_EQ(read_key(), kKeyEsc);
    EXPECT_EQ(read_key(), 'a');
    keyboard_end();

    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_EQ(keyboard_set_source(nullptr), &kOneKeySource);
}

TEST_F(StopSignalsDeathTest, SecondInterruptBeforeTheFirstIsTakenStopsTheProgram) {
    EXPECT_EXIT(
        {
            keyboard_begin();
            raise(SIGINT);
            raise(SIGINT);
            _exit(0);
        },
        testing::KilledBySignal(SIGINT), "");
}

bool in_key_mode(int fd) {
    termios mode{};
    return tcgetattr(fd, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == 0;
}

// Terminal input reaches the reader asynchronously; wait until all of it is there.
bool wait_for_input(int bytes) {
    for (int tries = 0; tries < 500; ++tries) {
        int available = 0;
        if (ioctl(STDIN_FILENO, FIONREAD, &available) == 0 && available >= bytes) return true;
        poll(nullptr, 0, 10);
    }
    return false;
}

enum Ending { END_CALLED, EXIT_CALLED, HANGUP_SIGNAL };

// A forked child takes a pseudo-terminal as its controlling terminal and stdin, as a
// console is, types on it, and leaves in one of three ways. The terminal must be back
// in line mode afterwards. Child exit codes name the step that failed.
int type_on_terminal(int master, const char* slave_name, Ending ending) {
    setsid();
    int tty = open(slave_name, O_RDWR);
    if (tty < 0 || dup2(tty, STDIN_FILENO) < 0) return 90;
    keyboard_begin();
    if (!in_key_mode(STDIN_FILENO)) return 1;
    const char typed[] = "\x1b[Ax\x1bOP\x1b";  // up arrow, x, F1, ESC
    if (write(master, typed, sizeof typed - 1) != sizeof typed - 1) return 2;
    if (!wait_for_input(sizeof typed - 1)) return 3;
    for (int expected : {-1, int{'x'}, -1, kKeyEsc}) {
        if (read_key() != expected) return 4;
    }
    if (ending == EXIT_CALLED) exit(0);
    if (ending == HANGUP_SIGNAL) raise(SIGHUP);
    keyboard_end();
    return 0;
}

TEST(Terminal, KeyModeSkipsCursorKeysAndIsRestoredOnEveryWayOut) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
    std::string slave_name = ptsname(master);
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    for (Ending ending : {END_CALLED, EXIT_CALLED, HANGUP_SIGNAL}) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) _exit(type_on_terminal(master, slave_name.c_str(), ending));
        int status = 0;
        waitpid(child, &status, 0);
        if (ending == HANGUP_SIGNAL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ending << ": " << status;
        }
        termios mode{};
        tcgetattr(slave, &mode);
        EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << ending;
    }
    close(slave);
    close(master);
}

}  // namespace
