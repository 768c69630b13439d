#pragma once

// Eigen's core for the matrix product. GCC 12 reports false -Wmaybe-uninitialized warnings
// inside its own AVX-512 intrinsics headers when Eigen's product kernel is inlined; they are
// silenced for those headers alone, so that warnings in our own code still show (and fail the
// build with QUILLFEN_WERROR).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <Eigen/Core>
#pragma GCC diagnostic pop
