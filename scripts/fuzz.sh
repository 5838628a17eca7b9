#!/usr/bin/env bash
# Fuzzes every reader of outside input with libFuzzer, under AddressSanitizer and UBSan.
#   scripts/fuzz.sh [seconds-per-target] [target...]     (default: 30 s, every target in fuzz/)
# Builds the targets with clang in build/fuzz, runs them one after the other, each on a scratch copy
# of its seed corpus (fuzz/corpus/<target>, never grown by a run), and fails when any target finds
# a crash, a sanitizer report, an uncaught exception or an input slower than 25 s. The input that did
# it is kept under build/fuzz/artifacts/<target>/ and its path printed. The inputs recorded under
# fuzz/regressions/<target>/ are replayed before the target is fuzzed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian.sh
seconds=${1:-30}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

install_missing_debian_packages "${SANITIZER_DEBIAN_PACKAGES[@]}"
[ -x .venv/bin/ninja ] || bash scripts/setup.sh
build=build/fuzz
if [ ! -f "$build/build.ninja" ]; then
  # -O2 without NDEBUG: the library's own assertions stay on.
  cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
    -DVELORA_BUILD_FUZZ=ON -DVELORA_BUILD_PYTHON=OFF -DVELORA_BUILD_TOOLS=OFF -DVELORA_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

failed=()
mkdir -p "$build/runs"
for target in "${targets[@]}"; do
  # Inputs that once crashed a target are replayed first: a fixed problem stays fixed.
  if compgen -G "fuzz/regressions/$target/*" >/dev/null; then
    replay=$build/runs/$target.regressions.log
    if ! "$build/fuzz/fuzz_$target" fuzz/regressions/"$target"/* >"$replay" 2>&1; then
      failed+=("$target")
      echo "!! $target FAILED on a recorded input of fuzz/regressions/$target; see $replay:" >&2
      grep -E '^Running: |what\(\)|^SUMMARY' "$replay" | tail -n 6 >&2
      continue
    fi
  fi
  run=$build/runs/$target
  artifacts=$PWD/$build/artifacts/$target
  rm -rf "$run" && mkdir -p "$run/corpus" "$artifacts"
  cp -R "fuzz/corpus/$target/." "$run/corpus/"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$run/corpus" >"$run/log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log")
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$run/log" | tail -1 || true)
  echo "$target: ${executions:-?} executions in ${seconds} s, ${coverage:-no coverage line}"
  if ((status != 0)); then
    failed+=("$target")
    echo "!! $target FAILED (exit $status); last lines of $run/log:" >&2
    tail -n 40 "$run/log" >&2
    grep -h 'Test unit written to' "$run/log" >&2 || echo "!! no input was written; see $run/log" >&2
  fi
done
if ((${#failed[@]})); then
  echo "!! fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no crash"
