#!/usr/bin/env bash
# Fast developer build into build/<name>: the extension modules land in build/<name>/python beside
# a copy of the package tree, so `PYTHONPATH=build/<name>/python pytest` runs without installing.
#   scripts/dev-build.sh <name> [cmake --build options, e.g. --target ext_corvex]
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}; shift || true
venv=$PWD/.venv
if [ ! -f "build/$name/build.ninja" ]; then
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELORA_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$venv/bin/python" -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" \
    -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" >/dev/null
fi
cmake --build "build/$name" -j2 "$@"
