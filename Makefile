# Every target first installs whatever set-up is missing (scripts/setup.sh), so a fresh
# clone needs nothing but `make demo` or `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?=
PYTHON := $(CURDIR)/.venv/bin/python
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache leaves the build directory out of its keys, so that the wheel's build (build/wheel)
# reuses the objects of this one: the compile commands are the same but for the directory.
export CCACHE_NOHASHDIR ?= 1

.PHONY: setup build test test-layers test-cpp test-python test-package demo bench stubs clean check check-threads fuzz soak

setup:
	@scripts/setup.sh

$(BUILD_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DPython_EXECUTABLE=$(PYTHON) -DQUILLMARK_SANITIZE="$(SANITIZE)" $(CMAKE_FLAGS)

build: setup $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test-cpp: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) -m pytest -q tests/python

# The wheel of `pip install .`, installed into a fresh virtual environment and tried from
# outside the repository (scripts/check_package.sh).
test-package: setup
	JOBS=$(JOBS) scripts/check_package.sh

# Includes run down the layers (module -> server -> engine -> values, bitmap -> base) and
# only src/module/ sees pybind11; the script's message explains a failure.
test-layers:
	python3 scripts/check_layers.py

test: test-layers test-cpp test-python test-package

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) examples/demo.py

bench: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) bench/run.py $(BENCH_ARGS)
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) bench/cluster_bench.py

# The soak under load (tests/python/test_soak.py) for SOAK_SECONDS instead of the suite's
# short run, printing its figures: batches, records and rate, resident memory after
# warm-up and at the end, and the scans, queries, extractions and snapshots done. Its
# documents carry texts of up to SOAK_TEXT_BYTES, so that the log outgrows its memory and
# scans, extractions and checkpoints also meet records on disk.
SOAK_SECONDS ?= 180
SOAK_TEXT_BYTES ?= 500

soak: build
	QUILLMARK_SOAK_SECONDS=$(SOAK_SECONDS) QUILLMARK_SOAK_TEXT_BYTES=$(SOAK_TEXT_BYTES) \
	  PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) -m pytest -q -s tests/python/test_soak.py

# Regenerates the module's type stubs; commit python/stubs with the bindings that changed them.
stubs: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) -m pybind11_stubgen _quillmark_rec_server_extension \
	  --output-dir python/stubs

# Sanitizer suites, each in its own build directory so the normal build stays untouched.
#
# `make check`: AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite. The C++
# tests run under ctest with leak detection on. The Python tests run in the ordinary
# interpreter, which is not instrumented: the ASan runtime must be the first library in the
# process, so it is preloaded, together with the C++ runtime (the interpreter does not link
# it, and ASan's exception interceptor finds no __cxa_throw without it: the first C++
# exception would abort the process). Leak detection is off because the interpreter keeps
# objects alive at exit on purpose. pytest runs with -s so that a sanitizer report reaches
# the terminal instead of pytest's captured output, which dies with the process.
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
ASAN_RUNTIME := $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZER_BUILD_TYPE ?= RelWithDebInfo
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
CHECK_ASAN_OPTIONS ?= detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
PYTHON_ASAN_OPTIONS ?= detect_leaks=0:detect_stack_use_after_return=0

# Only what the suites run: the C++ tests, the module and the Python package (no benchmarks).
CPP_TESTS := $(notdir $(basename $(wildcard tests/cpp/*_test.cc)))
SUITE_TARGETS := $(CPP_TESTS) _quillmark_rec_server_extension quillmark_python_package

check: setup
	$(MAKE) --no-print-directory $(ASAN_BUILD_DIR)/build.ninja BUILD_DIR=$(ASAN_BUILD_DIR) \
	  SANITIZE="address;undefined" BUILD_TYPE=$(SANITIZER_BUILD_TYPE)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS) --target $(SUITE_TARGETS)
	cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=$(CHECK_ASAN_OPTIONS) ctest --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=$(PYTHON_ASAN_OPTIONS) LD_PRELOAD="$(ASAN_RUNTIME)" \
	  PYTHONPATH=$(CURDIR)/$(ASAN_BUILD_DIR)/python $(PYTHON) -m pytest -q -s tests/python

# `make check-threads`: ThreadSanitizer over the tests that run threads against one another
# (epoch, the batch check beside the field walk, hash index, hybrid log, devices, state
# machine, inserts, ingestion service, checkpoints and recovery, scans on two threads and reads below the head racing writers,
# concurrent extraction, store lifecycles with the service running,
# the CURVE authentication handler).
THREAD_TESTS ?= epoch_test|helper_check_test|hash_index_test|hybrid_log_test|scan_test|store_scan_test|device_test|state_machine_test|insert_concurrency_test|psf_store_test|ingestion_service_test|checkpoint_test|recovery_test|extractor_test|store_lifecycle_leak_test|zap_handler_test
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/scripts/tsan_suppressions.txt

check-threads: setup
	$(MAKE) --no-print-directory $(TSAN_BUILD_DIR)/build.ninja BUILD_DIR=$(TSAN_BUILD_DIR) \
	  SANITIZE=thread BUILD_TYPE=$(SANITIZER_BUILD_TYPE)
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS) --target $(subst |, ,$(THREAD_TESTS))
	cd $(TSAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -R '$(THREAD_TESTS)'

# `make fuzz`: builds the libFuzzer targets in fuzz/ with clang and runs each for
# FUZZ_SECONDS at nice 10, one at a time. New inputs go to $(FUZZ_BUILD_DIR)/corpus/<target>
# (the committed seeds in fuzz/corpus/<target> are only read); a crash stops the run and
# leaves its input in $(FUZZ_BUILD_DIR)/crashes/. FUZZ_TARGETS selects a subset.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= $(notdir $(basename $(wildcard fuzz/*_fuzz.cc)))

fuzz: setup
	cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUILLMARK_FUZZ=ON \
	  -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	@mkdir -p $(FUZZ_BUILD_DIR)/crashes
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD_DIR)/corpus/$$target fuzz/corpus/$$target; \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s"; \
	  nice -n 10 ./$(FUZZ_BUILD_DIR)/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD_DIR)/crashes/$$target- \
	    $(FUZZ_BUILD_DIR)/corpus/$$target fuzz/corpus/$$target || exit 1; \
	done

clean:
	rm -rf $(BUILD_DIR)
