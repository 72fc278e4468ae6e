// What every fuzz target uses to state a property: a broken property prints what broke and aborts,
// so that libFuzzer keeps the input and the replay test fails on it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                              \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property broken: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                             \
            std::fputc('\n', stderr);                                                      \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)
