#include "platform/console.h"

#include <unistd.h>

#include <cstdio>

void console_unbuffer_if_terminal() {
    if (isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IONBF, 0);
}

bool console_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}
