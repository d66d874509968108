// Helpers shared by the fuzz targets.
#pragma once

// For a target's own loops over large inputs (building images, comparing results):
// coverage there tells the fuzzer nothing about the code under test and costs as
// much as that code's own.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif
