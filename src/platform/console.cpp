#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

void console_unbuffer_if_terminal() {
    if (isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IONBF, 0);
}

bool console_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void console_fill_closed_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // open() takes the lowest free number, which is this one when the lower ones are
        // open.
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
