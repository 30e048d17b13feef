/* Preloaded into the real program by a test: signalfd() fails as it does
 * when the process has run out of file descriptors. */
#include <errno.h>
#include <signal.h>

int signalfd(int fd, const sigset_t* mask, int flags) {
    (void)fd;
    (void)mask;
    (void)flags;
    errno = EMFILE;
    return -1;
}
