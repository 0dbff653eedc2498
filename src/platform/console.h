#pragma once

// Console output is printf-style to stdout. On a terminal it is written unbuffered, so
// that step lines without a line end and the status line rewritten per frame show at
// once; into a file or a pipe it stays buffered.
void console_unbuffer_if_terminal();

// True when standard output is a terminal.
bool console_is_terminal();

// A program started with standard input, output or error closed would hand those numbers
// to the next files it opens (a cassette, an image), and then write console text into them
// or read their bytes as keys. Each closed one is opened on the null device instead.
void console_fill_closed_descriptors();
