// The baseline file: JSON, one object, its format named and versioned so that a file written by
// a newer fipdump is refused rather than half understood. README "Baseline files" documents it.
// Readers ignore keys they do not know, so a later version 1 writer may only add keys; anything
// else it changes needs a new version.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "wire/baseline.hpp"

namespace wire {

constexpr const char* kBaselineFormat = "fipgate bus baseline"; // value of the "format" key

// The file's text: the header keys, then one line per identifier. Pure.
std::string baseline_to_json(const Baseline& b);

// A baseline read back, or what is wrong with the text.
struct BaselineRead {
    std::optional<Baseline> baseline;
    std::string error; // what is wrong and where, when no baseline
};

// Parses and checks a baseline file's text: not JSON, another format, a version newer than
// kBaselineVersion, a missing or ill-typed key, an identifier out of range or given twice are
// refused with a message. Pure; never throws.
BaselineRead parse_baseline(std::string_view text);

} // namespace wire
