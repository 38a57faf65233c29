// The C library entry points the sim takes over. Anything that is not a card node or a card
// descriptor goes straight on to the C library.

// The fortified inline wrappers of open() would clash with the definitions below.
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "libc_real.hpp"
#include "registry.hpp"

using capvane_sim::real_libc;

namespace {

// open's third argument exists only when the flags create a file; reading it otherwise is
// undefined, so it is taken from the caller's argument list only then.
mode_t mode_argument(int flags, va_list ap) {
    const bool needs_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return needs_mode ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

// A card node opens a simulated card; any other path goes to the C library's `real_open`.
template <typename RealOpen> int open_card_or(const char* path, int flags, RealOpen real_open) {
    const int card = capvane_sim::node_number(path);
    if (card >= 0) {
        return capvane_sim::open_node(card, flags);
    }
    return real_open();
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open_card_or(path, flags, [&] { return real_libc().open(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open_card_or(path, flags, [&] { return real_libc().open64(path, flags, mode); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open_card_or(path, flags, [&] { return real_libc().openat(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open_card_or(path, flags,
                        [&] { return real_libc().openat64(dirfd, path, flags, mode); });
}

// Entry points of fortified builds (open without a mode argument).
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return openat64(dirfd, path, flags);
}

int close(int fd) {
    return capvane_sim::close_fd(fd);
}

int close_range(unsigned int first, unsigned int last, int flags) noexcept {
    try {
        // Descriptors only marked close-on-exec stay open, so stay cards.
        if ((flags & CLOSE_RANGE_CLOEXEC) == 0) {
            capvane_sim::forget_range(first, last);
        }
    } catch (...) {
    }
    if (real_libc().close_range == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real_libc().close_range(first, last, flags);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    try {
        bool handled = false;
        const int result = capvane_sim::card_ioctl(fd, request, arg, handled);
        if (handled) {
            return result;
        }
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    return real_libc().ioctl(fd, request, arg);
}

} // extern "C"
