#include "wire/baseline_json.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace wire {

namespace {

using Json = nlohmann::json;

constexpr const char* kPollKindNames[kPollKindCount] = {"variable", "message", "request_list"};
constexpr std::int64_t kMicrosPerSecond = 1'000'000;

// Thrown inside the parser only, with the message the caller gets.
struct Refusal {
    std::string message;
};

std::string id_text(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
    return text;
}

// "2026-12-08T22:30:00.123456Z".
std::string iso_utc(std::int64_t us) {
    const std::int64_t floor_s =
        us >= 0 ? us / kMicrosPerSecond : -((-us + kMicrosPerSecond - 1) / kMicrosPerSecond);
    const auto secs = static_cast<std::time_t>(floor_s);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(us - floor_s * kMicrosPerSecond));
    return text;
}

std::optional<std::int64_t> parse_iso_utc(const std::string& text) {
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &mon, &day, &hour, &min, &sec,
                    &used) != 6 ||
        used != 19 || mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 ||
        sec > 60 || year < 1970) {
        return std::nullopt;
    }
    std::size_t pos = 19;
    std::int64_t micros = 0;
    if (pos < text.size() && text[pos] == '.') {
        std::int64_t scale = kMicrosPerSecond;
        for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            scale /= 10;
            micros += (text[pos] - '0') * scale; // digits past the sixth add nothing
        }
    }
    if (pos + 1 != text.size() || text[pos] != 'Z') {
        return std::nullopt; // UTC only: a file read on another machine means the same instant
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    return static_cast<std::int64_t>(timegm(&tm)) * kMicrosPerSecond + micros;
}

std::optional<std::uint16_t> parse_id(const std::string& text) {
    unsigned id = 0;
    int used = 0;
    if (text.size() != 6 || std::sscanf(text.c_str(), "0x%4x%n", &id, &used) != 1 || used != 6) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(id);
}

// The key `key` of `object`, named `where` in messages.
const Json& member(const Json& object, const char* key, const std::string& where) {
    const auto at = object.find(key);
    if (at == object.end()) {
        throw Refusal{where + " has no \"" + key + "\""};
    }
    return *at;
}

std::uint64_t unsigned_at(const Json& object, const char* key, const std::string& where,
                          std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) {
    const Json& v = member(object, key, where);
    if (!v.is_number_unsigned() || v.get<std::uint64_t>() > max) {
        throw Refusal{"\"" + std::string(key) + "\" of " + where +
                      " must be a whole number from 0 to " + std::to_string(max)};
    }
    return v.get<std::uint64_t>();
}

bool bool_at(const Json& object, const char* key, const std::string& where) {
    const Json& v = member(object, key, where);
    if (!v.is_boolean()) {
        throw Refusal{"\"" + std::string(key) + "\" of " + where + " must be true or false"};
    }
    return v.get<bool>();
}

std::string string_at(const Json& object, const char* key, const std::string& where) {
    const Json& v = member(object, key, where);
    if (!v.is_string()) {
        throw Refusal{"\"" + std::string(key) + "\" of " + where + " must be a string"};
    }
    return v.get<std::string>();
}

std::int64_t time_at(const Json& object, const char* key, const std::string& where) {
    const auto t = parse_iso_utc(string_at(object, key, where));
    if (!t) {
        throw Refusal{"\"" + std::string(key) + "\" of " + where +
                      " must be a UTC time such as 2026-01-31T08:00:00.000000Z"};
    }
    return *t;
}

std::uint16_t id_at(const Json& object, const char* key, const std::string& where) {
    const auto id = parse_id(string_at(object, key, where));
    if (!id) {
        throw Refusal{"\"" + std::string(key) + "\" of " + where +
                      " must be an identifier of four hexadecimal digits such as 0x0100"};
    }
    return *id;
}

BaselineIdentifier identifier(const Json& j, std::size_t index) {
    const std::string where = "identifier " + std::to_string(index + 1);
    if (!j.is_object()) {
        throw Refusal{where + " is not an object"};
    }
    BaselineIdentifier e;
    e.id = id_at(j, "id", where);
    const std::string named = where + " (" + id_text(e.id) + ")";
    const Json& polled = member(j, "polled", named);
    if (!polled.is_array()) {
        throw Refusal{"\"polled\" of " + named + " must be a list"};
    }
    for (const Json& k : polled) {
        unsigned bit = 0;
        while (bit < kPollKindCount && !(k.is_string() && k == kPollKindNames[bit])) {
            ++bit;
        }
        if (bit == kPollKindCount) {
            throw Refusal{"\"polled\" of " + named +
                          " may only hold \"variable\", \"message\" and \"request_list\""};
        }
        e.poll_kinds = static_cast<std::uint8_t>(e.poll_kinds | (1U << bit));
    }
    e.period_cycles = static_cast<std::uint32_t>(
        unsigned_at(j, "period_cycles", named, std::numeric_limits<std::uint32_t>::max()));
    e.len_min = static_cast<std::uint16_t>(unsigned_at(j, "len_min", named, 0xFFFF));
    e.len_max = static_cast<std::uint16_t>(unsigned_at(j, "len_max", named, 0xFFFF));
    if (e.len_min > e.len_max) {
        throw Refusal{"\"len_min\" of " + named + " is greater than its \"len_max\""};
    }
    const Json& pdus = member(j, "pdu_types", named);
    if (!pdus.is_array()) {
        throw Refusal{"\"pdu_types\" of " + named + " must be a list"};
    }
    for (const Json& t : pdus) {
        if (!t.is_number_unsigned() || t.get<std::uint64_t>() > 0xFF) {
            throw Refusal{"\"pdu_types\" of " + named + " may only hold numbers from 0 to 255"};
        }
        const auto type = t.get<std::uint64_t>();
        e.pdu_types[type >> 6] |= std::uint64_t{1} << (type & 63);
    }
    e.messages = bool_at(j, "messages", named);
    e.message_requests = bool_at(j, "message_requests", named);
    e.aperiodic_requests = bool_at(j, "aperiodic_requests", named);
    return e;
}

Baseline baseline(const Json& j) {
    if (!j.is_object()) {
        throw Refusal{"the file holds no JSON object"};
    }
    const auto format = j.find("format");
    if (format == j.end() || !format->is_string() || *format != kBaselineFormat) {
        throw Refusal{std::string("not a baseline file: its \"format\" is not \"") +
                      kBaselineFormat + "\""};
    }
    const std::uint64_t version = unsigned_at(j, "version", "the file");
    if (version > kBaselineVersion) {
        throw Refusal{"format version " + std::to_string(version) +
                      " is newer than this fipdump reads (up to " +
                      std::to_string(kBaselineVersion) +
                      "): read it with a newer fipdump, or save the baseline again with this one"};
    }
    if (version == 0) {
        throw Refusal{"format version 0 does not exist"};
    }
    Baseline b;
    b.version = static_cast<std::uint32_t>(version);
    b.gateway = string_at(j, "gateway", "the file");
    b.saved_us = time_at(j, "saved", "the file");
    b.first_us = time_at(j, "first", "the file");
    b.last_us = time_at(j, "last", "the file");
    b.macrocycles = unsigned_at(j, "macrocycles", "the file");
    b.macrocycle_cycles = unsigned_at(j, "macrocycle_cycles", "the file", kMaxMacrocycleCycles);
    b.macrocycle_polls = unsigned_at(j, "macrocycle_polls", "the file");
    const Json& reference = member(j, "cycle_reference", "the file");
    if (!reference.is_null()) {
        b.reference = id_at(j, "cycle_reference", "the file");
    }
    b.cycle_us = static_cast<std::int64_t>(
        unsigned_at(j, "cycle_us", "the file",
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
    const Json& ids = member(j, "identifiers", "the file");
    if (!ids.is_array()) {
        throw Refusal{"\"identifiers\" must be a list"};
    }
    std::set<std::uint16_t> seen;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        BaselineIdentifier e = identifier(ids[i], i);
        if (!seen.insert(e.id).second) {
            throw Refusal{"identifier " + id_text(e.id) + " is given twice"};
        }
        b.identifiers.push_back(e);
    }
    std::sort(b.identifiers.begin(), b.identifiers.end(),
              [](const BaselineIdentifier& x, const BaselineIdentifier& y) { return x.id < y.id; });
    return b;
}

} // namespace

std::string baseline_to_json(const Baseline& b) {
    nlohmann::ordered_json head;
    head["format"] = kBaselineFormat;
    head["version"] = b.version;
    head["saved"] = iso_utc(b.saved_us);
    head["gateway"] = b.gateway;
    head["first"] = iso_utc(b.first_us);
    head["last"] = iso_utc(b.last_us);
    head["macrocycles"] = b.macrocycles;
    head["macrocycle_cycles"] = b.macrocycle_cycles;
    head["macrocycle_polls"] = b.macrocycle_polls;
    head["cycle_reference"] =
        b.reference ? nlohmann::ordered_json(id_text(*b.reference)) : nlohmann::ordered_json();
    head["cycle_us"] = b.cycle_us;
    // One identifier a line: a person reads and compares these files with a text tool.
    std::string out = "{\n";
    for (const auto& [key, value] : head.items()) {
        out += "  " + nlohmann::ordered_json(key).dump() + ": " + value.dump() + ",\n";
    }
    out += "  \"identifiers\": [";
    for (std::size_t i = 0; i < b.identifiers.size(); ++i) {
        const BaselineIdentifier& e = b.identifiers[i];
        nlohmann::ordered_json j;
        j["id"] = id_text(e.id);
        j["polled"] = nlohmann::ordered_json::array();
        for (unsigned k = 0; k < kPollKindCount; ++k) {
            if (e.polled_as(static_cast<PollKind>(k))) {
                j["polled"].push_back(kPollKindNames[k]);
            }
        }
        j["period_cycles"] = e.period_cycles;
        j["len_min"] = e.len_min;
        j["len_max"] = e.len_max;
        j["pdu_types"] = nlohmann::ordered_json::array();
        for (unsigned t = 0; t < 256; ++t) {
            if (e.has_pdu_type(static_cast<std::uint8_t>(t))) {
                j["pdu_types"].push_back(t);
            }
        }
        j["messages"] = e.messages;
        j["message_requests"] = e.message_requests;
        j["aperiodic_requests"] = e.aperiodic_requests;
        out += (i == 0 ? "\n    " : ",\n    ") + j.dump();
    }
    out += b.identifiers.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

BaselineRead parse_baseline(std::string_view text) {
    BaselineRead out;
    try {
        out.baseline = baseline(Json::parse(text));
    } catch (const Refusal& r) {
        out.error = r.message;
    } catch (const Json::parse_error& e) {
        const std::string what = e.what();
        const auto bracket = what.find("] "); // past the library's "[json.exception...]"
        out.error = "not JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2));
    } catch (const Json::exception& e) {
        out.error = e.what(); // a check above missed a type: still a message, never a crash
    }
    return out;
}

} // namespace wire
