#!/usr/bin/env bash
# Builds both targets and runs the whole test suite: natively, under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and the Windows build under Wine. Installs what is missing.
#   ./test.sh                 everything
#   VORN_PRESETS="linux" ./test.sh   only the presets named
set -uo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh || { echo "error: could not install the build tools" >&2; exit 1; }

presets=${VORN_PRESETS:-"linux windows linux-asan linux-tsan linux-fuzz"}
failed=()
total_passed=0
total_failed=0
start=$(date +%s)

# A short libFuzzer smoke per target, each from a copy of its seed corpus.
run_fuzzers() {
  local seconds=${VORN_FUZZ_SECONDS:-30}
  local work
  work=$(mktemp -d)
  local status=0
  for fuzzer in build/linux-fuzz/bin/*_fuzzer; do
    local name
    name=$(basename "$fuzzer" _fuzzer)
    mkdir -p "$work/$name"
    cp fuzz/corpus/"$name"/* "$work/$name"/ 2>/dev/null || true
    echo "--- fuzz ${name}: ${seconds} s"
    if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        "$work/$name" >"$work/$name.log" 2>&1; then
      grep -E "stat::number_of_executed_units|Done" "$work/$name.log" | tail -2
    else
      tail -50 "$work/$name.log"
      echo "FAILED: fuzz ${name}"
      status=1
    fi
  done
  rm -rf "$work"
  return $status
}

run_preset() {
  local preset=$1
  local log="build/${preset}-configure.log"
  echo "=== ${preset}: configure and build"
  mkdir -p build
  if ! cmake --preset "$preset" >"$log" 2>&1; then
    cat "$log"
    return 1
  fi
  cmake --build --preset "$preset" || return 1
  if [ "$preset" = "linux-fuzz" ]; then
    echo "=== ${preset}: fuzz smoke"
    run_fuzzers
    return
  fi
  echo "=== ${preset}: test"
  local filter=()
  # ThreadSanitizer runs every tier but the soak and the packages: the log's
  # threads, the listener and whole sessions against the running service.
  if [ "$preset" = "linux-tsan" ]; then
    filter=(-L "${VORN_TSAN_LABELS:-^(unit|e2e|hostile)$}")
  fi
  local log="build/${preset}-ctest.log"
  ctest --preset "$preset" "${filter[@]}" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  # "100% tests passed, 0 tests failed out of 296"
  local summary
  summary=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$summary" ]; then
    local failed_count total_count
    failed_count=${summary%% *}
    total_count=${summary##* }
    total_failed=$((total_failed + failed_count))
    total_passed=$((total_passed + total_count - failed_count))
  fi
  return "$status"
}

for preset in $presets; do
  if ! run_preset "$preset"; then
    failed+=("$preset")
  fi
done

echo "=== finished in $(( $(date +%s) - start )) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED presets: ${failed[*]}"
else
  echo "All presets passed: ${presets}"
fi
# The last line sums up every ctest run.
echo "tests: ${total_passed} passed, ${total_failed} failed"
[ ${#failed[@]} -eq 0 ]
