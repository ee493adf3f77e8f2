// Whether this test binary runs under AddressSanitizer (clang or gcc), for the tests that
// only the sanitizer can judge.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define PELLAMAR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLAMAR_TEST_ASAN 1
#endif
#endif
