#include "log/logger.hpp"

#include <atomic>
#include <cstdarg>
#include <ctime>
#include <sys/time.h>

FILE* flog = stdout;

namespace logger {

namespace color {
const char* const reset = "\033[0m";
const char* const black = "\033[30m";
const char* const red = "\033[31m";
const char* const green = "\033[32m";
const char* const yellow = "\033[33m";
const char* const blue = "\033[34m";
const char* const magenta = "\033[35m";
const char* const cyan = "\033[36m";
const char* const white = "\033[37m";
const char* const boldblack = "\033[1m\033[30m";
const char* const boldred = "\033[1m\033[31m";
const char* const boldgreen = "\033[1m\033[32m";
const char* const boldyellow = "\033[1m\033[33m";
const char* const boldblue = "\033[1m\033[34m";
const char* const boldmagenta = "\033[1m\033[35m";
const char* const boldcyan = "\033[1m\033[36m";
const char* const boldwhite = "\033[1m\033[37m";
} // namespace color

namespace {

std::atomic<bool> colorized{false};

struct LevelStyle {
    const char* tag;    // always 7 characters, so messages line up
    const char* escape; // written before the tag when colour is on; null for none
};

LevelStyle style_of(int level) {
    switch (level) {
    case msg_type::info:
        return {"[info] ", nullptr};
    case msg_type::warn:
        return {"[warn] ", "\033[0;33m"};
    case msg_type::err:
        return {"[error]", "\033[0;31m"};
    case msg_type::evt:
        return {"[event]", "\033[0;36m"};
    default:
        return {"[????] ", nullptr};
    }
}

} // namespace

void set_colorization(bool on) {
    colorized.store(on, std::memory_order_relaxed);
}
bool is_colorized() {
    return colorized.load(std::memory_order_relaxed);
}

int print(FILE* stream, int level, const char* format, ...) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[100];
    std::snprintf(stamp, sizeof stamp, "%02d-%02d %02d:%02d:%02d.%06ld", local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(tv.tv_usec));

    if (level == msg_type::dbg) {
        return 0;
    }
    const bool colour = is_colorized();
    const LevelStyle style = style_of(level);
    // One entry is several stdio calls; holding the stream's lock keeps entries of different
    // threads from interleaving into one garbled line.
    flockfile(stream);
    if (colour) {
        std::fputs("\033[0m", stream);
        std::fputs("\033[0;32m", stream);
    }
    std::fprintf(stream, "[%s] ", stamp);
    if (colour) {
        std::fputs("\033[0m", stream);
        if (style.escape != nullptr) {
            std::fputs(style.escape, stream);
        }
    }
    std::fprintf(stream, "%s ", style.tag);
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stream, format, args);
    va_end(args);
    if (colour) {
        std::fputs("\033[0m", stream);
    }
    funlockfile(stream);
    return written;
}

} // namespace logger
