#!/bin/sh
# Fuzz build only: clang ignores "#pragma GCC target", so the per-ISA blocks
# of the search kernels are rewritten into clang's attribute pragmas, which
# give every function of the block the same target. Reads $1, writes stdout.
set -eu
sed -e '/^#pragma GCC push_options/d' \
    -e 's/^#pragma GCC target("\([^"]*\)")/#pragma clang attribute push(__attribute__((target("\1"))), apply_to = function)/' \
    -e 's/^#pragma GCC pop_options/#pragma clang attribute pop/' "$1"
