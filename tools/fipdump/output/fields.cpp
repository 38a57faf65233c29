#include "tools/fipdump/output/fields.hpp"

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace fipdump {

namespace {
constexpr std::int64_t kMicrosPerSecond = 1'000'000;

// "YYYY-MM-DD hh:mm:ss.uuuuuu" from broken-down time and microseconds.
std::string format_tm(const std::tm& tm, std::int64_t micros) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(micros));
    return text;
}

// Floor division, so that dates before 1970 keep microseconds in 0..999999.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}
} // namespace

const char* frame_name(std::uint8_t control) {
    switch (control) {
    case 0x03:
        return "ID_DAT";
    case 0x05:
        return "ID_MSG";
    case 0x09:
        return "ID_RQ1";
    case 0x29:
        return "ID_RQ2";
    case 0x02:
        return "RP_DAT";
    case 0x06:
        return "RP_DAT_MSG";
    case 0x0A:
        return "RP_DAT_RQ1";
    case 0x0E:
        return "RP_DAT_RQ1_MSG";
    case 0x2A:
        return "RP_DAT_RQ2";
    case 0x2E:
        return "RP_DAT_RQ2_MSG";
    case 0x08:
        return "RP_RQ1";
    case 0x28:
        return "RP_RQ2";
    case 0x04:
        return "RP_MSG_NOACK";
    case 0x14:
        return "RP_MSG_ACK_E";
    case 0x94:
        return "RP_MSG_ACK_O";
    case 0x10:
        return "RP_ACK_E-";
    case 0x30:
        return "RP_ACK_E+";
    case 0x90:
        return "RP_ACK_O-";
    case 0xB0:
        return "RP_ACK_O+";
    case 0x40:
        return "RP_FIN";
    default:
        return "?";
    }
}

std::string identifier_text(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
    return text;
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string local_time(std::chrono::system_clock::time_point t) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    const std::time_t s = static_cast<std::time_t>(floor_div(us, kMicrosPerSecond));
    std::tm tm{};
    localtime_r(&s, &tm);
    return format_tm(tm, us - static_cast<std::int64_t>(s) * kMicrosPerSecond);
}

std::string gateway_date(std::int64_t us) {
    if (us == 0) {
        return "-";
    }
    const std::int64_t s = floor_div(us, kMicrosPerSecond);
    const std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) {
        return std::to_string(us) + " us";
    }
    return format_tm(tm, us - s * kMicrosPerSecond);
}

std::string seconds(std::int64_t us) {
    char text[48];
    const std::int64_t s = us / kMicrosPerSecond;
    const std::int64_t frac = us % kMicrosPerSecond;
    std::snprintf(text, sizeof text, "%s%lld.%06lld", us < 0 ? "-" : "",
                  static_cast<long long>(s < 0 ? -s : s),
                  static_cast<long long>(frac < 0 ? -frac : frac));
    return text;
}

std::string figure(float value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string address_text(const Sender& sender) {
    if (sender.v6) {
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, sender.addr6.data(), text, sizeof text);
        return text;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (sender.addr >> 24) & 0xFFU,
                  (sender.addr >> 16) & 0xFFU, (sender.addr >> 8) & 0xFFU, sender.addr & 0xFFU);
    return text;
}

std::string to_string(const Sender& sender) {
    if (sender.v6) {
        std::string text(1, '[');
        text.append(address_text(sender)).append("]:").append(std::to_string(sender.port));
        return text;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", (sender.addr >> 24) & 0xFFU,
                  (sender.addr >> 16) & 0xFFU, (sender.addr >> 8) & 0xFFU, sender.addr & 0xFFU,
                  sender.port);
    return text;
}

} // namespace fipdump
