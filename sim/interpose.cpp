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

// Instrumented code needs the sanitizer's shadow memory, which exists only once the sanitizer's
// runtime has initialised; another library's constructor may call a hook before that (runuser's
// libcap-ng opens and closes files then). In a sanitized build the entry points are therefore
// left uninstrumented and initialise the runtime first (a flag test once it is), then call the
// instrumented bodies. A plain build has nothing of this.
#if defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_init();
#define SIM_ENTRY __attribute__((no_sanitize("address")))
#define SIM_RUNTIME_READY() __asan_init()
#else
#define SIM_ENTRY
#define SIM_RUNTIME_READY() static_cast<void>(0)
#endif

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

[[gnu::noinline]] int open_body(const char* path, int flags, mode_t mode) {
    return open_card_or(path, flags, [&] { return real_libc().open(path, flags, mode); });
}

[[gnu::noinline]] int open64_body(const char* path, int flags, mode_t mode) {
    return open_card_or(path, flags, [&] { return real_libc().open64(path, flags, mode); });
}

[[gnu::noinline]] int openat_body(int dirfd, const char* path, int flags, mode_t mode) {
    return open_card_or(path, flags, [&] { return real_libc().openat(dirfd, path, flags, mode); });
}

[[gnu::noinline]] int openat64_body(int dirfd, const char* path, int flags, mode_t mode) {
    return open_card_or(path, flags,
                        [&] { return real_libc().openat64(dirfd, path, flags, mode); });
}

[[gnu::noinline]] int close_range_body(unsigned int first, unsigned int last, int flags) {
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

[[gnu::noinline]] int ioctl_body(int fd, unsigned long request, void* arg) {
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

[[gnu::noinline]] int close_body(int fd) {
    return capvane_sim::close_fd(fd);
}

} // namespace

extern "C" {

SIM_ENTRY int open(const char* path, int flags, ...) {
    SIM_RUNTIME_READY();
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open_body(path, flags, mode);
}

SIM_ENTRY int open64(const char* path, int flags, ...) {
    SIM_RUNTIME_READY();
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return open64_body(path, flags, mode);
}

SIM_ENTRY int openat(int dirfd, const char* path, int flags, ...) {
    SIM_RUNTIME_READY();
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return openat_body(dirfd, path, flags, mode);
}

SIM_ENTRY int openat64(int dirfd, const char* path, int flags, ...) {
    SIM_RUNTIME_READY();
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return openat64_body(dirfd, path, flags, mode);
}

// Entry points of fortified builds (open without a mode argument).
SIM_ENTRY int __open_2(const char* path, int flags) {
    SIM_RUNTIME_READY();
    return open_body(path, flags, 0);
}
SIM_ENTRY int __open64_2(const char* path, int flags) {
    SIM_RUNTIME_READY();
    return open64_body(path, flags, 0);
}
SIM_ENTRY int __openat_2(int dirfd, const char* path, int flags) {
    SIM_RUNTIME_READY();
    return openat_body(dirfd, path, flags, 0);
}
SIM_ENTRY int __openat64_2(int dirfd, const char* path, int flags) {
    SIM_RUNTIME_READY();
    return openat64_body(dirfd, path, flags, 0);
}

SIM_ENTRY int close(int fd) {
    SIM_RUNTIME_READY();
    return close_body(fd);
}

SIM_ENTRY int close_range(unsigned int first, unsigned int last, int flags) noexcept {
    SIM_RUNTIME_READY();
    return close_range_body(first, last, flags);
}

SIM_ENTRY int ioctl(int fd, unsigned long request, ...) noexcept {
    SIM_RUNTIME_READY();
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return ioctl_body(fd, request, arg);
}

} // extern "C"
