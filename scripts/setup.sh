#!/usr/bin/env bash
# Installs whatever the build still lacks: Debian packages for the C++ side and a
# Python 3.10 virtual environment with the pinned requirements. Idempotent and quick
# when nothing is missing, and silent then. Each step it takes prints one line; the
# package managers' output goes to build/setup.log and is shown only when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(cmake ninja-build g++ pkg-config ccache libzmq3-dev cppzmq-dev libsimdjson-dev
  libspdlog-dev libfmt-dev libroaring-dev libtsl-hopscotch-map-dev libgtest-dev libgmock-dev
  liburing-dev libbenchmark-dev clang)

LOG=build/setup.log
mkdir -p build

# step DESCRIPTION COMMAND...: runs COMMAND with its output in the log and prints one line;
# when it fails, shows what it printed and fails.
step() {
  local description=$1 step_log
  shift
  step_log=$(mktemp)
  printf 'setup: %s ... ' "$description"
  if "$@" >"$step_log" 2>&1; then
    echo "done"
    cat "$step_log" >>"$LOG"
    rm -f "$step_log"
  else
    local status=$?
    echo "failed"
    cat "$step_log" >>"$LOG"
    echo "setup: output of the failed step (also in $LOG):" >&2
    cat "$step_log" >&2
    rm -f "$step_log"
    return $status
  fi
}

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

apt_install() {
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
}

# Tries the package lists as they are first; refreshes them only when that fails.
install_debian_packages() {
  apt_install "$@" || { $SUDO apt-get update -q && apt_install "$@"; }
}

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing Debian packages (${missing[*]})" install_debian_packages "${missing[@]}"
fi

# libFuzzer's runtime comes with the compiler-rt package of the installed clang
# (libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13).
clang_major=$(clang -dumpversion 2>/dev/null | cut -d. -f1 || true)
if [ -n "$clang_major" ]; then
  runtime="libclang-rt-${clang_major}-dev"
  if ! dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q "install ok installed"; then
    step "installing $runtime (for 'make fuzz')" install_debian_packages "$runtime" ||
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
  step "creating the virtual environment $VENV ($PYTHON310)" "$PYTHON310" -m venv "$VENV"
fi

# Commands inside a step are chained with &&: `set -e` does not apply within an if.
install_python_packages() {
  "$VENV/bin/python" -m pip install --disable-pip-version-check -r requirements.txt &&
    "$VENV/bin/python" -c "import pyarrow; pyarrow.create_library_symlinks()"
}

STAMP="$VENV/.requirements-installed"
if [ ! -f "$STAMP" ] || [ requirements.txt -nt "$STAMP" ]; then
  step "installing the Python packages of requirements.txt into $VENV" install_python_packages
  touch "$STAMP"
fi
