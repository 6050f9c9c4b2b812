# Developer entry points. `make test` sets everything up on a fresh machine and runs the tests.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
PYBIND11_DIR = $(shell $(PY) -m pybind11 --cmakedir)
CONFIGURE = $(CMAKE) -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$(PYBIND11_DIR) -DKELMORA_WERROR=ON
# libstdc++ is preloaded with libasan so that the sanitizer finds the real __cxa_throw:
# the interpreter itself does not link the C++ runtime.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)

.PHONY: bootstrap build test test-native test-python test-services test-sanitize check-contract fuzz-build fuzz \
	fuzz-ci leak-check bench bench-tools install-venv demo demo-video wheel check-stubs check-wheel check-pip-install \
	lint lint-cpp lint-python lint-types format-cpp format-python clean

bootstrap:
	@bash dev/bootstrap.sh

build/dev/build.ninja: | bootstrap
	$(CONFIGURE) -B build/dev -DCMAKE_BUILD_TYPE=Release >/dev/null

build: bootstrap build/dev/build.ninja
	@$(CMAKE) --build build/dev

test-native: build
	@build/dev/kelmora_native_test
	@build/dev/kelmora_motion_native_test

test-python: build
	PYTHONPATH=build/dev $(PY) -m pytest -q

test: test-native test-python

# The tools against real services that the tests start and stop themselves, on loopback: a Dask
# scheduler with two workers, and a PostgreSQL server in a temporary data directory.
test-services: build
	KELMORA_SERVICE_TESTS=1 PYTHONPATH=build/dev $(PY) -m pytest -q tests/services

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, the whole Python
# suite run under it. The interpreter itself is not instrumented, so libasan is preloaded
# and leak detection (which would report the interpreter's own allocations) is off.
build/asan/build.ninja: | bootstrap
	$(CONFIGURE) -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_SANITIZE=ON >/dev/null

test-sanitize: bootstrap build/asan/build.ninja
	@$(CMAKE) --build build/asan
	build/asan/kelmora_native_test
	build/asan/kelmora_motion_native_test
	PYTHONPATH=build/asan LD_PRELOAD="$(ASAN_PRELOAD)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(PY) -m pytest -q -p no:cacheprovider

# Coverage-guided fuzzing (atheris) of the Python surface against the sanitizer build:
# each target of tests/fuzz/ runs for FUZZ_SECONDS and the executions of each are printed.
# Corpora grow in build/fuzz/corpus, crashing inputs land in build/fuzz/artifacts.
# fuzz-ci is the short bounded run for CI: a fixed seed, an empty corpus of its own, 25 s a
# target.
FUZZ_SECONDS ?= 60
FUZZ_SEED ?= 0
FUZZ_TARGETS ?= boxes,overlap,assignment,kalman,cost,tracker,mot_read,mot_write,mot_lsap,mot_eval
FUZZ_CI_SECONDS ?= 25

build/fuzz/libcov_shim.so: tests/fuzz/cov_shim.c
	@mkdir -p build/fuzz
	gcc -O2 -fPIC -shared -fvisibility=hidden -Wall -Wextra -Werror -o $@ $< -ldl

fuzz-build: bootstrap build/asan/build.ninja build/fuzz/libcov_shim.so
	@$(CMAKE) --build build/asan

fuzz: fuzz-build
	$(PY) tests/fuzz/run.py --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) --targets $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	$(PY) tests/fuzz/run.py --seconds $(FUZZ_CI_SECONDS) --seed 1 --corpus build/fuzz/corpus-ci --fresh \
		--targets $(FUZZ_TARGETS)

# The Python tests (all but the demo's) under valgrind memcheck; fails on blocks lost,
# or memcheck errors, whose stacks pass through the module (tests/support/leak_check.py).
leak-check: build
	$(PY) tests/support/leak_check.py --build build/dev

# A deliberately wrong build with contraction on and FMA allowed: its contraction probe
# must say False, which shows that the probe detects such a build.
build/contract/build.ninja: | bootstrap
	$(CONFIGURE) -B build/contract -DCMAKE_BUILD_TYPE=Release -DKELMORA_NATIVE_TESTS=OFF \
		-DKELMORA_WERROR=OFF "-DKELMORA_EXTRA_FLAGS=-ffp-contract=fast -mfma" >/dev/null

check-contract: bootstrap build/contract/build.ninja
	@$(CMAKE) --build build/contract
	@if grep -q -w fma /proc/cpuinfo; then \
		PYTHONPATH=build/contract $(PY) -c 'import kelmora_cpp as k; v = k.build_info()["fp_contract_off"]; print("contraction build reports fp_contract_off =", v); assert v is False'; \
	else echo "this processor has no FMA: a contracted build cannot be shown here"; fi

# Benchmarks import the module from the build, the tools from their sources, the tracker's Python
# reference (reference/) and the sequence generator (data/).
BENCH_PATH := build/dev:python:reference:data:benchmarks

bench: build
	PYTHONPATH=$(BENCH_PATH) $(PY) benchmarks/run.py

# The kelmora command on datasets: 1 and N local processes, Dask's overhead, tracking against
# evaluation time.
bench-tools: build
	PYTHONPATH=$(BENCH_PATH) $(PY) benchmarks/bench_tools.py

# The project installed into .venv as a user installs it, the kelmora command included; CMake
# keeps its build in build/wheel, so a second install only rebuilds what changed.
install-venv: bootstrap
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(PY) -m pip install -q --no-deps --no-build-isolation \
		--config-settings=build-dir=build/wheel .

# The installed kelmora command on the synthetic sequence in data/synthetic (regenerate it with
# data/make_sequence.py): tracks, HOTA and the other scores, and a trajectory plot, written to
# demo_output/.
DEMO_DATA := data/synthetic
demo: install-venv
	$(VENV)/bin/kelmora track $(DEMO_DATA) --out demo_output
	$(VENV)/bin/kelmora eval --gt $(DEMO_DATA) --results demo_output --json demo_output/scores.json
	$(VENV)/bin/kelmora plot demo_output/kelmora-synthetic.txt --gt $(DEMO_DATA)/gt/gt.txt \
		--out demo_output/kelmora-synthetic_trajectories.png

# The installed kelmora video on vtest.avi, pedestrians filmed by a fixed camera, from Debian's
# opencv-doc package (fetched once into the cache folder by dev/fetch_vtest.sh): the motion
# detector (background subtraction; it boxes twice as many people as HOG at a tenth of its time)
# and the tracker over the first DEMO_VIDEO_FRAMES frames (of 795), written to demo_output/:
# vtest.mp4, vtest.txt and vtest_sheet.png. DEMO_VIDEO_DETECTOR=hog runs the HOG people detector.
DEMO_VIDEO_FRAMES ?= 300
DEMO_VIDEO_DETECTOR ?= motion

demo-video: install-venv
	@clip=$$(bash dev/fetch_vtest.sh) && \
	$(VENV)/bin/kelmora video "$$clip" --out demo_output --max-frames $(DEMO_VIDEO_FRAMES) \
		--detector $(DEMO_VIDEO_DETECTOR)

# The wheel users install, built with the pinned build tools and repaired by auditwheel into a
# manylinux wheel in dist/ (dev/build_wheel.sh prints its tag, size and grafted libraries).
wheel: bootstrap
	@bash dev/build_wheel.sh

# The committed type stubs against the ones generated from the built module.
check-stubs: build
	@bash dev/check_stubs.sh

# The wheel of make wheel in a fresh virtual environment with the compilers and Eigen hidden:
# contents, tag, import, version, names, contraction off, the kelmora command (its results
# equal to the development build's) and mypy --strict on tests/support/typing_usage.py.
check-wheel: build wheel
	@bash dev/check_wheel.sh

# pip install . into a fresh virtual environment with the system's Eigen hidden, so that the
# build falls back on the cmeel-eigen build requirement; then the module's tests against it.
check-pip-install: bootstrap
	@bash dev/check_pip_install.sh

# Static checks; each checker is a lint-* target that lint depends on, with the versions pinned in
# requirements.txt, the same on every machine. lint-cpp: the C++ of include/, src/ and tests/native/
# against .clang-format, failing on any drift (format-cpp rewrites the files instead). lint-python:
# ruff's checks and its formatter's style over the Python (format-python rewrites the files).
# lint-types: mypy over the kelmora command's package against the stubs the wheel ships
# (dev/check_types.sh).
CLANG_FORMAT := $(VENV)/bin/clang-format
CPP_FILES = $(shell find include src tests/native \( -name '*.hpp' -o -name '*.cpp' \) | LC_ALL=C sort)

lint: lint-cpp lint-python lint-types

lint-cpp: bootstrap
	@$(CLANG_FORMAT) --dry-run --Werror $(CPP_FILES)
	@echo "lint-cpp: $(words $(CPP_FILES)) files formatted as .clang-format asks"

format-cpp: bootstrap
	$(CLANG_FORMAT) -i $(CPP_FILES)

lint-python: bootstrap
	@$(VENV)/bin/ruff check --quiet .
	@$(VENV)/bin/ruff format --check --quiet .
	@echo "lint-python: ruff finds nothing to change"

lint-types: bootstrap
	@bash dev/check_types.sh

format-python: bootstrap
	$(VENV)/bin/ruff format .

clean:
	rm -rf build dist
