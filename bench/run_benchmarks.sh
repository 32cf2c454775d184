#!/bin/sh
# Runs the core benchmarks and the end-to-end harness against the built
# Linux binaries, keeps every figure and sample in one results folder and
# plots them.
#
#   bench/run_benchmarks.sh [--quick] [RESULTS_DIR]
#
# Build first: cmake --preset linux && cmake --build --preset linux
# VORN_BIN_DIR overrides build/linux/bin. RESULTS_DIR defaults to
# build/bench-results/<date-time>. --quick makes a short smoke run.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VORN_BIN_DIR:-$root/build/linux/bin}
quick=""
if [ "${1:-}" = "--quick" ]; then
  quick="--quick"
  shift
fi
out=${1:-$root/build/bench-results/$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"

for program in vorn_core_bench vorn-service-bench vorn-launch-bench \
               vorn-bench-client \
               vorn-guard-service libvorn_guard.so.1; do
  if [ ! -e "$bin/$program" ]; then
    echo "missing $bin/$program: build the linux preset first" >&2
    exit 2
  fi
done

{
  echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
  echo "commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "kernel: $(uname -srm)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) online"
  echo "memory: $(grep MemTotal /proc/meminfo | tr -s ' ')"
  echo "openssl: $(openssl version)"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$out/machine.txt"

echo "== core benchmarks =="
min_time=""
[ -n "$quick" ] && min_time="--benchmark_min_time=0.1"
"$bin/vorn_core_bench" $min_time --benchmark_out="$out/core_bench.json" \
  --benchmark_out_format=json | tee "$out/core_bench.txt"

echo "== service benchmarks =="
"$bin/vorn-service-bench" --out "$out" $quick

echo "== launch benchmarks =="
"$bin/vorn-launch-bench" $quick | tee "$out/launch.txt"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$out/machine.txt"

# The system python carries matplotlib (python3-matplotlib); a python from
# elsewhere on PATH may not.
for python in /usr/bin/python3 python3; do
  if "$python" -c 'import matplotlib' 2>/dev/null; then
    "$python" "$root/bench/plot.py" "$out" "$out/performance.png"
    echo "plot: $out/performance.png"
    break
  fi
done
echo "results: $out"
