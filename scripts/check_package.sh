#!/usr/bin/env bash
# Builds the wheel the way `pip install .` does (scikit-build-core over CMakeLists.txt),
# installs it into a fresh virtual environment in a temporary directory and runs a smoke
# test there, outside the repository and without PYTHONPATH.
#
# The wheel is built from the project's .venv (no isolated build environment, whose
# paths change with every build) in build/wheel, which is kept: a rebuild compiles only
# what changed, and a first build takes most objects from ccache.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=.venv/bin/python
DIST=build/dist

# The compilers CMake picks for `make build` (scikit-build-core would otherwise take the
# interpreter's, g++ by name, and miss every object ccache holds from that build), and at
# most JOBS compilations at once.
export CC=${CC:-cc} CXX=${CXX:-c++} CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}

rm -rf "$DIST"
"$PYTHON" -m pip wheel -q --no-build-isolation --no-deps --wheel-dir "$DIST" .
wheel=$(ls "$DIST"/quillmark-*.whl)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$wheel"
cp tests/package/smoke.py "$work/"
cd "$work"
env -u PYTHONPATH venv/bin/python smoke.py
# The console script the wheel installs.
venv/bin/quillmark --help > /dev/null
echo "console script quillmark installed"
