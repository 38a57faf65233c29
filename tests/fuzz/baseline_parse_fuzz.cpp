// The baseline file parser over arbitrary text: it must never crash, throw or read out of
// bounds, and whatever it accepts must be written back by the encoder into text it reads back as
// the same baseline.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wire/baseline_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const wire::BaselineRead first =
        wire::parse_baseline(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!first.baseline) {
        if (first.error.empty()) {
            std::abort(); // a refusal always says why
        }
        return 0;
    }
    const wire::BaselineRead again = wire::parse_baseline(wire::baseline_to_json(*first.baseline));
    if (!again.baseline || !(*again.baseline == *first.baseline)) {
        std::abort();
    }
    return 0;
}
