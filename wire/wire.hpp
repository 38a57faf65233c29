// Everything a receiver of the gateway's stream needs: include this one header.
#pragma once

#include "wire/baseline.hpp"
#include "wire/baseline_compare.hpp"
#include "wire/baseline_json.hpp"
#include "wire/bus_stats.hpp"
#include "wire/decode.hpp"
#include "wire/fcs.hpp"
#include "wire/frame.hpp"
#include "wire/frame_check.hpp"
#include "wire/records.hpp"
#include "wire/scan_table.hpp"
#include "wire/transactions.hpp"
