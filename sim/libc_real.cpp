#include "libc_real.hpp"

#include <dlfcn.h>

namespace capvane_sim {

namespace {

template <typename F> F next_symbol(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

RealLibc resolve() {
    RealLibc r{};
    r.open = next_symbol<decltype(r.open)>("open");
    r.open64 = next_symbol<decltype(r.open64)>("open64");
    r.openat = next_symbol<decltype(r.openat)>("openat");
    r.openat64 = next_symbol<decltype(r.openat64)>("openat64");
    r.close = next_symbol<decltype(r.close)>("close");
    r.ioctl = next_symbol<decltype(r.ioctl)>("ioctl");
    r.close_range = next_symbol<decltype(r.close_range)>("close_range");
    if (r.open64 == nullptr) {
        r.open64 = r.open;
    }
    if (r.openat64 == nullptr) {
        r.openat64 = r.openat;
    }
    return r;
}

} // namespace

const RealLibc& real_libc() {
    static const RealLibc real = resolve();
    return real;
}

namespace {

// Resolving at load time keeps the first interposed call (possibly a close() in a signal
// handler) away from the lock of a function-local static. Starts nothing.
[[gnu::constructor]] void resolve_at_load() {
    real_libc();
}

} // namespace

} // namespace capvane_sim
