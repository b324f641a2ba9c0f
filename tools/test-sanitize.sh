#!/usr/bin/env bash
# Builds the modules and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build folder and runs the C++ and
# Python suites under them.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/asan
PKG=build/asan-pkg
PY=/usr/bin/python3

if [ ! -f "$BUILD/build.ninja" ]; then
    meson setup "$BUILD" -Dtests=true --buildtype=debugoptimized \
        -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
fi
ninja -C "$BUILD"

asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0:malloc_context_size=3
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== C++ tests under ASan + UBSan"
meson test -C "$BUILD" --print-errorlogs

# The package as it would be installed, with the sanitized modules.
rm -rf "$PKG"
mkdir -p "$PKG"
cp -r quorvel "$PKG/quorvel"
rm -f "$PKG/quorvel/meson.build"
for so in "$BUILD"/proxor/_proxor*.so "$BUILD"/proxor/_engine*.so "$BUILD"/ledgra/_ledgra*.so "$BUILD"/ledgra/_extxyz*.so; do
    ln -s "$PWD/$so" "$PKG/quorvel/"
done

echo "== Python tests under ASan + UBSan"
# The interpreter allocates through malloc so that ASan sees every block.
QUORVEL_SANITIZED=1 QUORVEL_LEAK_REPEATS=${QUORVEL_LEAK_REPEATS:-3000} LD_PRELOAD="$asan_rt:$ubsan_rt" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$PKG" \
    "$PY" -P -m pytest -p no:cacheprovider -q tests "$@"
