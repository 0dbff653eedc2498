#pragma once

// Console output is printf-style to stdout. On a terminal it is written unbuffered, so
// that step lines without a line end and the status line rewritten per frame show at
// once; into a file or a pipe it stays buffered.
void console_unbuffer_if_terminal();

// True when standard output is a terminal.
bool console_is_terminal();
