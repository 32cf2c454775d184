#!/usr/bin/env bash
# Builds both targets and runs the whole test suite: natively, under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and the Windows build under Wine. Installs what is missing.
#   ./test.sh                 everything
#   VORN_PRESETS="linux" ./test.sh   only the presets named
set -uo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh || { echo "error: could not install the build tools" >&2; exit 1; }

presets=${VORN_PRESETS:-"linux windows linux-asan linux-tsan"}
failed=()
start=$(date +%s)

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
  echo "=== ${preset}: test"
  local filter=()
  # ThreadSanitizer runs the tests where threads meet: the log, the listener
  # and whole sessions against the running service.
  if [ "$preset" = "linux-tsan" ]; then
    filter=(-R "${VORN_TSAN_TESTS:-ServiceLog|EndToEnd|Listener|Concurrency}")
  fi
  ctest --preset "$preset" "${filter[@]}"
}

for preset in $presets; do
  if ! run_preset "$preset"; then
    failed+=("$preset")
  fi
done

echo "=== finished in $(( $(date +%s) - start )) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "All presets passed: ${presets}"
