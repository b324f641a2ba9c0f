# Everything a fresh Debian 12 machine needs, from this repository alone.
#
#   make demo    the main job: a neighbor report on an example structure, then the
#                neighbor-list benchmark on its default case
#   make test    the whole test suite (C++ and Python) against the installed build
#   make bench   every benchmark, with the comparison libraries installed
#   make test-sanitize   both modules and the C++ tests under ASan + UBSan
#   make test-tsan       the C++ tests of the threaded search core under ThreadSanitizer
#   make test-debian13   the whole suite inside Debian 13 (Python 3.13, NumPy 2, g++ 14)
#   make fuzz            every libFuzzer harness for FUZZ_SECONDS (default 60) each
#   make lint            clang-tidy over the native code
#
# Each target installs what is missing (apt-get), creates .venv from Debian's
# /usr/bin/python3 with the system's site packages, and installs the package
# into it; a second run skips what is done.

SHELL := /bin/bash
PYTHON_SYSTEM := /usr/bin/python3
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
BUILD := build

APT_PACKAGES := g++ pkg-config meson ninja-build libgtest-dev libfast-float-dev \
	python3-dev python3-venv python3-pip python3-numpy python3-mesonpy \
	python3-pytest python3-hypothesis python3-scipy python3-tqdm \
	python3-distributed python3-matplotlib python3-periodictable
BENCH_PACKAGES := python3-pymatgen python3-mdanalysis

SOURCES := $(shell find native binding proxor ledgra quorvel -type f \( -name '*.cpp' -o -name '*.hpp' \
	-o -name '*.py' -o -name '*.pyi' -o -name 'meson.build' -o -name 'py.typed' -o -name '*.txt' \
	-o -name '*.inc' -o -name 'POSCAR*' -o -name '*.xyz' -o -name 'XDATCAR*' \) 2>/dev/null) \
	meson.build meson_options.txt pyproject.toml

include tools/apt.mk

.PHONY: demo test test-cpp test-python bench deps install clean test-sanitize test-tsan test-debian13 fuzz fuzz-smoke lint

deps:
	$(call apt_install,$(APT_PACKAGES))

$(PY): | deps
	$(PYTHON_SYSTEM) -m venv --system-site-packages $(VENV)

$(STAMPS)/installed: $(SOURCES) | deps $(PY)
	@mkdir -p $(STAMPS) $(BUILD)/pip
	$(PY) -m pip install --quiet --no-build-isolation --no-deps --config-settings=builddir=$(CURDIR)/$(BUILD)/pip .
	@touch $@

install: deps $(STAMPS)/installed

demo: install
	$(VENV)/bin/quorvel neighbors quorvel/examples/POSCAR --cutoff 3.0
	$(PY) -P bench/bench_neighbors.py --quick

test-cpp: deps
	@[ -f $(BUILD)/cpp/build.ninja ] || meson setup $(BUILD)/cpp -Dtests=true --buildtype=release >/dev/null
	meson test -C $(BUILD)/cpp --print-errorlogs
	@ninja -C $(BUILD)/cpp tests/cpp/simd_levels >/dev/null && $(BUILD)/cpp/tests/cpp/simd_levels

test-python: install
	$(PY) -P -m pytest -p no:cacheprovider tests

test: test-cpp test-python

bench: install
	$(call apt_install,$(BENCH_PACKAGES))
	$(PY) -P bench/bench_neighbors.py
	$(PY) -P bench/bench_text.py
	$(PY) -P bench/bench_io.py

test-sanitize: deps
	tools/test-sanitize.sh

test-tsan: deps
	tools/test-tsan.sh

test-debian13:
	$(SUDO) tools/test-debian13.sh

FUZZ_SECONDS ?= 60
fuzz:
	$(MAKE) -C fuzz run SECONDS=$(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) -C fuzz smoke

lint: deps
	$(call apt_install,clang-tidy)
	tools/lint.sh

clean:
	rm -rf $(BUILD) $(STAMPS) $(VENV)
