// What the C interface's verimex_cancellation holds, for every C entry
// point that takes one (c_api.cpp, c_api_preflight.cpp).
#pragma once

#include "verimex/verify.h"

struct verimex_cancellation {
    verimex::cancellation cancel;
};
