// The simulated card's per-identifier truth, read from its statistics JSON, and the objects of
// fipdump's --bus --json output, so that tests compare the analysis with what the bus did.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The flat objects of a JSON array or of JSON lines, each as its text: "{...}".
inline std::vector<std::string> flat_objects(const std::string& text, std::size_t from = 0,
                                             std::size_t to = std::string::npos) {
    std::vector<std::string> out;
    std::size_t depth = 0;
    std::size_t start = 0;
    for (std::size_t i = from; i < text.size() && i < to; ++i) {
        if (text[i] == '{' && depth++ == 0) {
            start = i;
        } else if (text[i] == '}' && depth > 0 && --depth == 0) {
            out.push_back(text.substr(start, i - start + 1));
        }
    }
    return out;
}

// `"name":123` of a flat object; -1 if absent.
inline long long field(const std::string& object, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto pos = object.find(key);
    return pos == std::string::npos ? -1
                                    : std::strtoll(object.c_str() + pos + key.size(), nullptr, 10);
}

// Identifier -> its object in the card's "identifiers" array.
inline std::map<long long, std::string> card_truth(const std::string& stats) {
    std::map<long long, std::string> out;
    const auto at = stats.find("\"identifiers\":[");
    if (at == std::string::npos) {
        return out;
    }
    for (const std::string& o : flat_objects(stats, at, stats.find(']', at))) {
        out[field(o, "id")] = o;
    }
    return out;
}

// Identifier -> its "type":"identifier" object in fipdump's --bus --json output.
inline std::map<long long, std::string> bus_identifiers(const std::string& json_lines) {
    std::map<long long, std::string> out;
    std::istringstream in(json_lines);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("\"type\":\"identifier\"") != std::string::npos) {
            out[field(line, "id_num")] = line;
        }
    }
    return out;
}

// Occurrences of `needle` in `text`.
inline std::size_t count_substr(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace testsupport
