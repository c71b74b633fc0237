# Every target first installs whatever set-up is missing (scripts/setup.sh), so a fresh
# clone needs nothing but `make demo` or `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE ?=
PYTHON := $(CURDIR)/.venv/bin/python
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: setup build test test-cpp test-python demo bench stubs clean

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

test: test-cpp test-python

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) examples/demo.py

bench: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) bench/run.py

# Regenerates the module's type stubs; commit python/stubs with the bindings that changed them.
stubs: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PYTHON) -m pybind11_stubgen _quillmark_rec_server_extension \
	  --output-dir python/stubs

clean:
	rm -rf $(BUILD_DIR)
