#pragma once

constexpr int kKeyEsc = 27;

// Console key polling. keyboard_begin puts a terminal into non-canonical mode without
// echo (restored by keyboard_end and on every exit path) and makes SIGINT, SIGTERM and SIGHUP
// queue an ESC, so an interrupted job closes its files as ESC does. Stdin that is not a
// terminal is read without blocking, so a script can send ESC.
void keyboard_begin();
void keyboard_end();

int key_waiting();  // non-zero when a key can be read without blocking
int read_key();     // one key, without echo; -1 when none

// The signal (SIGINT, SIGTERM or SIGHUP) whose ESC read_key has handed out since
// keyboard_begin, 0 when none: a job ended by it exits as the shell would report it.
int keyboard_stop_signal();

// The stop signal that has arrived since keyboard_begin, taken by a job or not, 0 when
// none: the waits before a job (the tape mount, the seek) end on it, and the run stops
// there in order.
int keyboard_stop_requested();

// "SIGINT", "SIGTERM", "SIGHUP", or "a signal" for any other number.
const char* keyboard_signal_name(int sig);

// Tests replace the console with a queue of keys.
struct KeySource {
    int (*waiting)();
    int (*read)();
};
const KeySource* keyboard_set_source(const KeySource* source);  // nullptr: the console
