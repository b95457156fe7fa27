#pragma once

#include <cstdio>
#include <cstdlib>

// A property a fuzz target checks: when it fails, the input is a finding, so the target
// says which property broke and aborts (libFuzzer then keeps the input as a crash).
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                         \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)
