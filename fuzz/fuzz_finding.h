// How a fuzzer stops on a finding: what was wrong and the first bytes of the
// input (libFuzzer saves the whole input beside).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

[[noreturn]] inline void Finding(const char* what, const uint8_t* data, size_t size)
{
    fprintf(stderr, "finding: %s; input (%zu bytes):", what, size);
    for (size_t i = 0; i < size && i < 40; ++i)
        fprintf(stderr, " %02X", data[i]);
    fprintf(stderr, size > 40 ? " ...\n" : "\n");
    abort();
}
