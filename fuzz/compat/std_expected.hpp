// Fuzz build only: clang 14 cannot use libstdc++'s <expected> (it needs a
// newer concepts level), so names spelled std::expected / std::unexpected in
// the routines are pointed at the equivalents from failure.hpp. Force-included
// with -include; a no-op wherever the standard library provides them.
#pragma once

#include <version>

#include "quorvel/native/failure.hpp"

#if !defined(__cpp_lib_expected)
namespace std {
using ::quorvel::expected;
using ::quorvel::unexpected;
}  // namespace std
#endif
