// A fuzz-build program with one planted signed overflow, run on the input that triggers it: the
// fuzz build must end with an error there. A build whose sanitizers report and carry on would
// let every fuzzer pass over undefined behaviour, and this check would then fail.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
volatile std::int64_t sink; // keeps the sum alive through the optimiser
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t v = 0;
    if (size < sizeof v) {
        return 0;
    }
    std::memcpy(&v, data, sizeof v);
    sink = v + 1; // overflows for INT64_MAX, the planted input
    return 0;
}
