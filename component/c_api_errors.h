// The C interface's per-thread record of failures that have no handle to
// keep them (verimex_error(NULL)), for the library's other C entry points.
#pragma once

#include "verimex/verimex.h"

namespace verimex::detail {

// Sets what verimex_error(NULL) and verimex_error_code(NULL) say on this
// thread; status VERIMEX_OK with no message clears it.
void record_thread_error(verimex_status status, const char* message, int code) noexcept;

}  // namespace verimex::detail
