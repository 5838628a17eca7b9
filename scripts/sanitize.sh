#!/usr/bin/env bash
# Builds every component's GoogleTest suite with clang under AddressSanitizer and UBSan in
# build/asan and runs them with ctest. Any sanitizer report fails the test that caused it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian.sh
install_missing_debian_packages "${SANITIZER_DEBIAN_PACKAGES[@]}"
[ -x .venv/bin/ninja ] || bash scripts/setup.sh
build=build/asan
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" \
    -DVELORA_BUILD_TESTS=ON -DVELORA_BUILD_PYTHON=OFF -DVELORA_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build" -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
ctest --test-dir "$build" --output-on-failure -j2
