// A plain HTTP/1.1 client on 127.0.0.1 for the metrics endpoint's tests: one exchange per
// connection, read until the server closes, so that the answer is exactly what was sent.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// Sends `request` as it is and returns the whole answer ("" when nothing could be exchanged).
// Each read waits 5 s at most.
std::string http_exchange(std::uint16_t port, const std::string& request);

// The answer to GET /metrics, headers included.
std::string scrape_metrics(std::uint16_t port);

} // namespace testsupport
