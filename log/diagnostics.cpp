#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <syslog.h>

#include "log/logger.hpp"

std::string errno_text(int error) {
    // The _np functions, unlike strerror, return constant texts: safe from any thread.
    const char* text = strerrordesc_np(error);
    const char* name = strerrorname_np(error);
    if (text == nullptr || name == nullptr) {
        return "error " + std::to_string(error);
    }
    return std::string(text) + " (" + name + ")";
}

const char* failure_cause(int code) {
    if (code > 0) {
        return std::strerror(code);
    }
    if (code == -1) {
        return "the operation failed (see the log lines above)";
    }
    if (code == 0) {
        return "no failure";
    }
    return "unknown failure code";
}

void print_error(int code) {
    const char* cause = failure_cause(code);
    logger::print(flog, logger::msg_type::err, "error code: %d - failure cause: %s\n", code, cause);
    syslog(LOG_ERR, "Error Code: %d - Failure Cause: %s", code, cause);
}

void print_mem(const char* title, unsigned long addr, int width, unsigned long count,
               int per_line) {
    if (width != 8 && width != 16 && width != 32 && width != 64) {
        return;
    }
    using logger::msg_type::info;
    logger::print(flog, info, "\n%s [=> address=0x%016lx]", title, addr);
    const unsigned long step = static_cast<unsigned long>(width) / 8;
    for (unsigned long i = 0; i < count; ++i) {
        if (i % static_cast<unsigned long>(per_line) == 0) {
            logger::print(flog, info, "\n  [+0x%08lx] ", i * step);
        }
        // memcpy: the caller's address need not be aligned for the element width.
        const auto* at = reinterpret_cast<const unsigned char*>(addr + i * step);
        switch (width) {
        case 8:
            logger::print(flog, info, "%02x ", static_cast<unsigned>(*at));
            break;
        case 16: {
            std::uint16_t v;
            std::memcpy(&v, at, sizeof v);
            logger::print(flog, info, "%04x ", static_cast<unsigned>(v));
            break;
        }
        case 32: {
            std::uint32_t v;
            std::memcpy(&v, at, sizeof v);
            logger::print(flog, info, "%08x ", static_cast<unsigned>(v));
            break;
        }
        default: {
            std::uint64_t v;
            std::memcpy(&v, at, sizeof v);
            logger::print(flog, info, "%016lx ", static_cast<unsigned long>(v));
            break;
        }
        }
    }
    logger::print(flog, info, "\n");
}
