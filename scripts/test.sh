#!/usr/bin/env bash
# Runs every test: the GoogleTest suite of the C++ core (ctest) and the Python suite (pytest)
# against the installed package. Installs and builds whatever is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Needed by the tests only: the HTML report is checked in a real headless browser.
source scripts/lib/debian.sh
install_missing_debian_packages chromium

echo "== C++ core tests"
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELORA_BUILD_PYTHON=OFF \
  -DVELORA_BUILD_TOOLS=OFF -DVELORA_BUILD_TESTS=ON \
  -DVELORA_WARNINGS_AS_ERRORS="${VELORA_WARNINGS_AS_ERRORS:-OFF}" -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
cmake --build build/core-tests -j2
ctest --test-dir build/core-tests --output-on-failure --progress -j2

echo "== Python tests"
# Run from a folder without the source tree on sys.path, so the installed package is what is tested.
cd tests && ../.venv/bin/python -m pytest -c ../pyproject.toml --rootdir=.. "$@" .
