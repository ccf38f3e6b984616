#!/usr/bin/env bash
# Sets up and runs every test from a clean clone: the C++ tests of the native core (once plainly,
# once under AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests against the
# installed package, under the newest pandas and again under pandas 2.2. Needs Python 3.11+
# with pip and venv; installs GoogleTest and Graphviz with apt-get when they are missing (as root,
# or via sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
VENV_PANDAS22=${VENV_PANDAS22:-.venv-pandas22}
JOBS=${JOBS:-2}

# GoogleTest for the C++ tests; Graphviz, whose dot parses the DOT exports in the Python tests.
DEBS="libgtest-dev graphviz"
if ! dpkg -s $DEBS >/dev/null 2>&1; then
  echo "== installing $DEBS"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $DEBS >/dev/null
fi

setup_venv() {  # venv directory, then extra requirements
  local venv=$1
  shift
  "$PYTHON" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$WHEEL[test]" "$@"
}

echo "== building the package"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q cmake ninja
rm -rf build/wheel
"$VENV/bin/python" -m pip wheel -q --no-deps -w build/wheel .
WHEEL=$(ls build/wheel/tallyra-*.whl)

echo "== Python environments: $VENV (newest pandas), $VENV_PANDAS22 (pandas 2.2)"
setup_venv "$VENV"
setup_venv "$VENV_PANDAS22" "pandas>=2.2,<2.3"
export PATH="$PWD/$VENV/bin:$PATH"

run_cpp_tests() {  # build dir, then extra CMake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DKORVAL32_BUILD_TESTS=ON -DKORVAL32_BUILD_MODULE=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$JOBS"
}

echo "== C++ tests"
run_cpp_tests build/cpp-tests -DCMAKE_BUILD_TYPE=Release

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_cpp_tests build/cpp-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAL32_SANITIZE=ON

for venv in "$VENV" "$VENV_PANDAS22"; do
  echo "== Python tests with pandas $("$venv/bin/python" -c 'import pandas; print(pandas.__version__)')"
  "$venv/bin/python" -m pytest
done
