#!/usr/bin/env bash
# clang-tidy over the native sources with the checked-in .clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/lint
[ -f "$BUILD/build.ninja" ] || meson setup "$BUILD" -Dtests=false >/dev/null
# clang-tidy 14 knows C++23 as c++2b.
mkdir -p "$BUILD/db"
/usr/bin/python3 - "$BUILD" <<'PY'
import json, sys
build = sys.argv[1]
with open(f"{build}/compile_commands.json") as f:
    commands = json.load(f)
for c in commands:
    c["command"] = c["command"].replace("-std=c++23", "-std=c++2b")
with open(f"{build}/db/compile_commands.json", "w") as f:
    json.dump(commands, f)
PY

files=(binding/src/*.cpp proxor/*.cpp proxor/src/*.cpp ledgra/*.cpp)
for f in ledgra/src/*.cpp; do
    # The case tables are generated data.
    [ "$f" = ledgra/src/unicode_case.cpp ] || files+=("$f")
done
status=0
for f in "${files[@]}"; do
    clang-tidy -p "$BUILD/db" --quiet "$f" 2>/dev/null || status=1
done
[ $status -eq 0 ] && echo "clang-tidy: no findings in ${#files[@]} files"
exit $status
