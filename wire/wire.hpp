// Everything a receiver of the gateway's stream needs: include this one header.
#pragma once

#include "wire/decode.hpp"
#include "wire/fcs.hpp"
#include "wire/frame.hpp"
#include "wire/records.hpp"
