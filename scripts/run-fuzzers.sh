#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each for a while over a copy of its
# checked-in seed corpus; fails when any harness crashes or breaks an
# invariant. Without clang++ or libFuzzer it skips (successfully) on a
# developer's machine, and fails when CI is set: the install script puts both
# in place there, so a missing one must not pass the run unfuzzed.
#
#   scripts/run-fuzzers.sh [build-folder]      (default build-fuzz)
#   FUZZ_SECONDS=60 scripts/run-fuzzers.sh     (time per harness, default 20)
#
# Failing inputs are kept in fuzz-findings/<harness>/ at the top of the tree.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-20}
jobs=${JOBS:-2}
cd "$root"

# harness name, then its extra libFuzzer options
harnesses=(
  "parse_shop_page_fuzz"
  "ini_text_fuzz"
  "gbk_text_fuzz"
  "export_text_fuzz"
  "item_list_fuzz -max_len=20000 -dict=fuzz/item_list.dict"
)

source "$(dirname "${BASH_SOURCE[0]}")/work-folder.sh"

# Ends the script for a missing toolchain: a skip, or a failure under CI.
no_toolchain() {
  if [ -n "${CI:-}" ]; then
    echo "run-fuzzers: FAILED, $1 (CI=$CI: fuzzing cannot be skipped)" >&2
    exit 1
  fi
  echo "run-fuzzers: skipped, $1"
  exit 0
}

if ! command -v clang++ >/dev/null 2>&1; then
  no_toolchain "clang++ is not installed (scripts/install-deps.sh installs it)"
fi
# libFuzzer's driver ships apart from the compiler; a probe link shows whether it is there.
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$work/probe.cpp"
if ! clang++ -fsanitize=fuzzer "$work/probe.cpp" -o "$work/probe" >/dev/null 2>&1; then
  no_toolchain "clang++ cannot link libFuzzer (-fsanitize=fuzzer); install libclang-rt-dev"
fi

targets=()
for h in "${harnesses[@]}"; do targets+=("${h%% *}"); done
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DDT_BUILD_FUZZ=ON \
  -DDT_BUILD_SHELL=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

failed=()
for h in "${harnesses[@]}"; do
  name=${h%% *}
  read -r -a options <<<"${h#"$name"}"
  seeds=fuzz/corpus/${name%_fuzz}
  corpus=$work/$name/corpus
  mkdir -p "$corpus"
  # The run adds what it finds to its corpus: a copy keeps the seeds as they are.
  [ -d "$seeds" ] && cp -R "$seeds/." "$corpus/"
  log=$work/$name/log
  status=0
  TMPDIR="$work" "$build/fuzz/$name" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$work/$name/" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    echo "run-fuzzers: $name passed, ${runs:-?} executions in ${seconds} s"
    continue
  fi
  failed+=("$name")
  echo "run-fuzzers: $name FAILED (exit $status) after ${runs:-?} executions:"
  grep -E 'invariant failed|ERROR:|SUMMARY:|Test unit written' "$log" | head -n 20 || tail -n 30 "$log"
  mkdir -p "fuzz-findings/$name"
  for artifact in "$work/$name"/crash-* "$work/$name"/leak-* "$work/$name"/timeout-* \
    "$work/$name"/oom-*; do
    [ -e "$artifact" ] || continue
    cp "$artifact" "fuzz-findings/$name/"
    echo "run-fuzzers: input kept as fuzz-findings/$name/$(basename "$artifact")"
  done
  cp "$log" "fuzz-findings/$name/log.txt"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzzers: failed: ${failed[*]}"
  exit 1
fi
echo "run-fuzzers: all ${#harnesses[@]} harnesses passed"
