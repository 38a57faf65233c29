// Everything a receiver of the gateway's stream needs: include this one header.
#pragma once

#include "wire/bus_stats.hpp"
#include "wire/decode.hpp"
#include "wire/fcs.hpp"
#include "wire/frame.hpp"
#include "wire/frame_check.hpp"
#include "wire/records.hpp"
#include "wire/scan_table.hpp"
#include "wire/transactions.hpp"
