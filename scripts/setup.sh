#!/usr/bin/env bash
# Installs whatever the build still lacks: Debian packages for the C++ side and a
# Python 3.10 virtual environment with the pinned requirements. Idempotent and quick
# when nothing is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(cmake ninja-build g++ pkg-config ccache libzmq3-dev cppzmq-dev libsimdjson-dev
  libspdlog-dev libfmt-dev libroaring-dev libtsl-hopscotch-map-dev libgtest-dev libgmock-dev
  liburing-dev libbenchmark-dev clang)

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  if ! $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; then
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
fi

# libFuzzer's runtime comes with the compiler-rt package of the installed clang
# (libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13).
clang_major=$(clang -dumpversion 2>/dev/null | cut -d. -f1 || true)
if [ -n "$clang_major" ]; then
  runtime="libclang-rt-${clang_major}-dev"
  if ! dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q "install ok installed"; then
    echo "setup: installing $runtime"
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$runtime" ||
      echo "setup: $runtime is not available; only 'make fuzz' needs it" >&2
  fi
fi

VENV=.venv
if [ ! -x "$VENV/bin/python" ]; then
  PYTHON310=""
  if command -v pyenv >/dev/null 2>&1; then
    PYTHON310=$(ls -d "$(pyenv root)"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V | tail -n 1 || true)
  fi
  [ -z "$PYTHON310" ] && PYTHON310=$(command -v python3.10 || true)
  if [ -z "$PYTHON310" ]; then
    echo "setup: no Python 3.10 interpreter found (looked in pyenv's versions and on PATH)." >&2
    echo "setup: the module is built for Python 3.10; install it (for example 'pyenv install 3.10') and rerun." >&2
    exit 1
  fi
  echo "setup: creating $VENV from $PYTHON310"
  "$PYTHON310" -m venv "$VENV"
fi

STAMP="$VENV/.requirements-installed"
if [ ! -f "$STAMP" ] || [ requirements.txt -nt "$STAMP" ]; then
  echo "setup: installing Python requirements into $VENV"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements.txt
  "$VENV/bin/python" -c "import pyarrow; pyarrow.create_library_symlinks()"
  touch "$STAMP"
fi
