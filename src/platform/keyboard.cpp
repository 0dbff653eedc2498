#include "platform/keyboard.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <iterator>

// POSIX console keys. Stdin is never switched to O_NONBLOCK: its file description is
// shared with the shell, which would inherit the flag. Instead each read is preceded by
// a poll with a zero timeout, and one byte is read ahead so that end of input (a pipe or
// file that is used up) counts as "no key" rather than as a key that never comes.

namespace {

const KeySource* key_source = nullptr;

// Written by signal handlers.
volatile sig_atomic_t esc_pending = 0;
volatile sig_atomic_t pending_signal = 0;  // the signal that queued the pending ESC
int taken_signal = 0;                      // the signal whose ESC the job took
volatile sig_atomic_t terminal_changed = 0;
termios saved_terminal_mode;

bool keyboard_active = false;
bool exit_hook_installed = false;

int lookahead = -1;  // a byte already read from stdin, -1 when none
bool stdin_used_up = false;

// A closed terminal (SIGHUP) ends a job in order too: killing it would leave the file it
// is writing with a header that counts no data.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kFatalSignals[] = {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kStopCount = std::size(kStopSignals);
constexpr size_t kFatalCount = std::size(kFatalSignals);

// While a job runs, a console that went away (a pipe to a pager that quit) only makes
// console writes fail; the job goes on and closes its files.
struct sigaction previous_pipe;
bool installed_pipe = false;

struct sigaction previous_stop[kStopCount];
struct sigaction previous_fatal[kFatalCount];
bool installed_stop[kStopCount];
bool installed_fatal[kFatalCount];

// Async-signal-safe. SIGTTOU is blocked so that a process moved to the background can
// still put the terminal back instead of being stopped by the attempt.
void restore_terminal() {
    if (!terminal_changed) return;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, &old);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    terminal_changed = 0;
}

bool stdin_is_foreground_terminal() {
    return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void enter_key_mode() {
    if (!stdin_is_foreground_terminal()) return;
    if (tcgetattr(STDIN_FILENO, &saved_terminal_mode) != 0) return;
    termios mode = saved_terminal_mode;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    // Marked first: a signal between the two steps must still restore the mode.
    terminal_changed = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) terminal_changed = 0;
}

// SIGINT, SIGTERM and SIGHUP end a job in order, like ESC. A second one before the job has
// taken the first means the job is not listening: stop the old way.
void on_stop_signal(int sig) {
    if (!esc_pending) {
        pending_signal = sig;
        esc_pending = 1;
        return;
    }
    restore_terminal();
    for (size_t i = 0; i < kStopCount; ++i) {
        if (kStopSignals[i] == sig) sigaction(sig, &previous_stop[i], nullptr);
    }
    raise(sig);
}

bool is_fault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL;
}

// Puts the terminal back, then lets the previous action (the default, or a sanitizer's
// report) deal with the signal.
void on_fatal_signal(int sig, siginfo_t* info, void*) {
    restore_terminal();
    for (size_t i = 0; i < kFatalCount; ++i) {
        if (kFatalSignals[i] == sig) sigaction(sig, &previous_fatal[i], nullptr);
    }
    // A genuine fault repeats when the instruction runs again; anything sent is re-sent.
    if (!(is_fault(sig) && info && info->si_code > 0)) raise(sig);
}

// A signal that was ignored when the program started (nohup, a background job) stays
// ignored.
bool install_handler(int sig, const struct sigaction& action, struct sigaction* previous) {
    if (sigaction(sig, nullptr, previous) != 0) return false;
    if (!(previous->sa_flags & SA_SIGINFO) && previous->sa_handler == SIG_IGN) return false;
    return sigaction(sig, &action, nullptr) == 0;
}

void install_handlers() {
    struct sigaction stop {};
    stop.sa_handler = on_stop_signal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kStopCount; ++i) {
        installed_stop[i] = install_handler(kStopSignals[i], stop, &previous_stop[i]);
    }
    struct sigaction fatal {};
    fatal.sa_sigaction = on_fatal_signal;
    sigemptyset(&fatal.sa_mask);
    fatal.sa_flags = SA_SIGINFO;
    for (size_t i = 0; i < kFatalCount; ++i) {
        installed_fatal[i] = install_handler(kFatalSignals[i], fatal, &previous_fatal[i]);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    installed_pipe = sigaction(SIGPIPE, &ignore, &previous_pipe) == 0;
}

void remove_handlers() {
    for (size_t i = 0; i < kStopCount; ++i) {
        if (installed_stop[i]) sigaction(kStopSignals[i], &previous_stop[i], nullptr);
        installed_stop[i] = false;
    }
    for (size_t i = 0; i < kFatalCount; ++i) {
        if (installed_fatal[i]) sigaction(kFatalSignals[i], &previous_fatal[i], nullptr);
        installed_fatal[i] = false;
    }
    if (installed_pipe) sigaction(SIGPIPE, &previous_pipe, nullptr);
    installed_pipe = false;
}

bool stdin_ready() {
    if (stdin_used_up) return false;
    // Reading the terminal from the background would stop the whole program.
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
    pollfd request{STDIN_FILENO, POLLIN, 0};
    if (poll(&request, 1, 0) != 1) return false;
    if (request.revents & POLLNVAL) {  // stdin is closed
        stdin_used_up = true;
        return false;
    }
    return (request.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool fill_lookahead() {
    if (lookahead >= 0) return true;
    if (!stdin_ready()) return false;
    unsigned char byte = 0;
    ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n == 1) {
        lookahead = byte;
        return true;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) stdin_used_up = true;
    return false;
}

int take_lookahead() {
    int key = lookahead;
    lookahead = -1;
    return key;
}

// A cursor or function key on a terminal arrives as ESC '[' ... or ESC 'O' x, all at
// once; it must not end a job the way the ESC key does.
bool swallow_key_sequence() {
    if (!fill_lookahead() || (lookahead != '[' && lookahead != 'O')) return false;
    bool control_sequence = take_lookahead() == '[';
    constexpr int kMaxSequenceBytes = 16;
    for (int i = 0; i < kMaxSequenceBytes && fill_lookahead(); ++i) {
        int byte = take_lookahead();
        if (!control_sequence || (byte >= 0x40 && byte <= 0x7E)) break;
    }
    return true;
}

}  // namespace

void keyboard_begin() {
    if (keyboard_active) return;
    keyboard_active = true;
    esc_pending = 0;
    pending_signal = 0;
    taken_signal = 0;
    lookahead = -1;
    stdin_used_up = false;
    if (!exit_hook_installed) exit_hook_installed = atexit(restore_terminal) == 0;
    enter_key_mode();
    install_handlers();
}

void keyboard_end() {
    if (!keyboard_active) return;
    remove_handlers();
    restore_terminal();
    esc_pending = 0;
    keyboard_active = false;
}

int key_waiting() {
    if (esc_pending) return 1;
    if (key_source) return key_source->waiting();
    return fill_lookahead() ? 1 : 0;
}

int read_key() {
    if (esc_pending) {
        taken_signal = pending_signal;
        esc_pending = 0;
        return kKeyEsc;
    }
    if (key_source) return key_source->read();
    if (!fill_lookahead()) return -1;
    int key = take_lookahead();
    if (key == kKeyEsc && isatty(STDIN_FILENO) && swallow_key_sequence()) return -1;
    return key;
}

const KeySource* keyboard_set_source(const KeySource* source) {
    const KeySource* previous = key_source;
    key_source = source;
    return previous;
}

int keyboard_stop_signal() {
    return taken_signal;
}

int keyboard_stop_requested() {
    if (esc_pending && pending_signal != 0) return pending_signal;
    return taken_signal;
}

const char* keyboard_signal_name(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}
