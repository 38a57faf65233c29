// Which events fipdump prints (--kind, --id, --type). Filters never change what is counted.
#pragma once

#include "tools/fipdump/options.hpp"
#include "wire/records.hpp"

namespace fipdump {

// True when `event` passes every filter that is set. A frame-kind or identifier filter keeps
// capture records only: a lifesign record has no frame. Pure.
bool matches(const Filter& filter, const wire::Event& event);

} // namespace fipdump
