// Per-function instruction-set targets for kernels chosen at run time.
//
// A kernel compiled for a wider instruction set than the build's baseline is
// marked with QUORVEL_TARGET on each of its functions; GCC and clang read the
// same attribute, so no source is rewritten for either compiler, and code
// outside the kernels never uses the wider instructions.
#pragma once

#define QUORVEL_TARGET(features) __attribute__((target(features)))
