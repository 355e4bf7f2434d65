// What every fuzz target shares: the entry point libFuzzer (or the corpus
// replay) calls once per input, and FUZZ_CHECK, an assertion kept in every
// build type, so a broken promise stops the run with a crash it records,
// whatever NDEBUG says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);   \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)
