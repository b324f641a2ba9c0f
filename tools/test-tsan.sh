#!/usr/bin/env bash
# Builds the C++ tests of the threaded search core with ThreadSanitizer in
# their own build folder and runs them: the engine's threads, its stop flag,
# its exception capture and the joining of the parts must show no data race.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/tsan

if [ ! -f "$BUILD/build.ninja" ]; then
    meson setup "$BUILD" -Dtests=true --buildtype=debugoptimized \
        -Db_sanitize=thread -Db_lundef=false >/dev/null
fi
ninja -C "$BUILD" -j"${JOBS:-2}" tests/cpp/test_engine

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
echo "== C++ tests of the threaded core under TSan"
"$BUILD"/tests/cpp/test_engine
