// Looking at a check's stop request, which may be absent.
#pragma once

#include <verimex/verify.h>

namespace verimex::engine {

inline bool stop_requested(const cancellation* c) { return c != nullptr && c->requested(); }

}  // namespace verimex::engine
