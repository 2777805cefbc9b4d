// A broken invariant in a fuzz target: say which, then abort so that libFuzzer (or the
// replay run) records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                                   \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond);            \
            fprintf(stderr, __VA_ARGS__);                                                       \
            fputc('\n', stderr);                                                                \
            abort();                                                                            \
        }                                                                                       \
    } while (0)
