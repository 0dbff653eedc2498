#include "platform/keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace {

TEST(Keyboard, ReadsKeysFromAPipeAndTreatsEndOfInputAsNoKey) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
    keyboard_begin();
    EXPECT_EQ(key_waiting(), 0);
    ASSERT_EQ(write(ends[1], "q\x1b[A", 4), 4);  // from a pipe every byte is a key
    EXPECT_NE(key_waiting(), 0);
    for (int expected : {int{'q'}, kKeyEsc, int{'['}, int{'A'}}) EXPECT_EQ(read_key(), expected);
    close(ends[1]);
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_EQ(read_key(), -1);
    keyboard_end();
}

int queued_key = -1;
const KeySource kOneKeySource{[] { return queued_key >= 0 ? 1 : 0; },
                              [] { return std::exchange(queued_key, -1); }};

// The runner may have started us with some of these ignored, which the keyboard respects.
void default_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
}

TEST(StopSignals, QueueAnEscAheadOfWaitingKeysUntilTheKeyboardEnds) {
    default_signals();
    keyboard_set_source(&kOneKeySource);
    keyboard_begin();
    for (int sig : {SIGTERM, SIGHUP}) {
        raise(sig);
        EXPECT_NE(key_waiting(), 0);
        EXPECT_EQ(read_key(), kKeyEsc) << sig;
    }
    EXPECT_EQ(key_waiting(), 0);
    queued_key = 'a';
    raise(SIGINT);
    EXPECT_EQ(read_key(), kKeyEsc);
    EXPECT_EQ(read_key(), 'a');
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "a console that went away does not end the program";
    keyboard_end();
    keyboard_set_source(nullptr);
    for (int sig : {SIGINT, SIGPIPE}) {
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << sig;
    }
}

TEST(StopSignalsDeathTest, SecondInterruptBeforeTheFirstIsTakenStopsTheProgram) {
    default_signals();
    EXPECT_EXIT(
        {
            keyboard_begin();
            raise(SIGINT);
            raise(SIGINT);
            _exit(0);
        },
        testing::KilledBySignal(SIGINT), "");
}

// A forked child takes a pseudo-terminal as its controlling terminal and stdin, as a
// console is, types on it, and leaves by keyboard_end (0), exit (1) or a fatal signal (2).
// Its exit code names the step that failed.
int type_on_terminal(int master, const char* slave_name, int ending) {
    setsid();
    int tty = open(slave_name, O_RDWR);
    if (tty < 0 || dup2(tty, STDIN_FILENO) < 0) return 90;
    keyboard_begin();
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) != 0 || (mode.c_lflag & (ICANON | ECHO))) return 1;
    const char typed[] = "\x1b[Ax\x1bOP\x1b";  // up arrow, x, F1, ESC
    if (write(master, typed, 8) != 8) return 2;
    // Terminal input reaches the reader when the kernel gets to it: wait for all of it,
    // however long that takes.
    int available = 0;
    while (ioctl(STDIN_FILENO, FIONREAD, &available) == 0 && available < 8) poll(nullptr, 0, 1);
    for (int expected : {-1, int{'x'}, -1, kKeyEsc}) {
        if (read_key() != expected) return 4;
    }
    if (ending == 1) exit(0);
    rlimit no_core{0, 0};
    if (ending == 2 && setrlimit(RLIMIT_CORE, &no_core) == 0) raise(SIGQUIT);
    keyboard_end();
    return 0;
}

TEST(Terminal, KeyModeSkipsCursorKeysAndIsRestoredOnEveryWayOut) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
    std::string slave_name = ptsname(master);
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    for (int ending : {0, 1, 2}) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) _exit(type_on_terminal(master, slave_name.c_str(), ending));
        int status = 0;
        waitpid(child, &status, 0);
        int outcome = WIFSIGNALED(status) ? 100 + WTERMSIG(status) : WEXITSTATUS(status);
        EXPECT_EQ(outcome, ending == 2 ? 100 + SIGQUIT : 0) << ending;
        termios mode{};
        tcgetattr(slave, &mode);
        EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << ending;
    }
    close(slave);
    close(master);
}

}  // namespace
