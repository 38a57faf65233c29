// The C library's own open/close/ioctl, which every call that is not about a card reaches.
#pragma once

#include <sys/types.h>

namespace capvane_sim {

struct RealLibc {
    int (*open)(const char*, int, ...);
    int (*open64)(const char*, int, ...);
    int (*openat)(int, const char*, int, ...);
    int (*openat64)(int, const char*, int, ...);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*close_range)(unsigned, unsigned, int);
};

// Resolved once with dlsym(RTLD_NEXT), on first use from any thread. Entries the C library
// lacks (close_range on old versions) are null.
const RealLibc& real_libc();

} // namespace capvane_sim
