// VERIMEX_TEST_SANITIZED: 1 when this test is built with AddressSanitizer or
// ThreadSanitizer, which run everything several times slower. Tests whose
// peers must answer within a check's time limit give themselves more room
// there; GCC and clang say so in different ways.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VERIMEX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VERIMEX_TEST_SANITIZED 1
#endif
#endif
#ifndef VERIMEX_TEST_SANITIZED
#define VERIMEX_TEST_SANITIZED 0
#endif
