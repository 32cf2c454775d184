#!/usr/bin/env python3
"""Plots the samples that vorn-service-bench --out wrote.

usage: plot.py RESULTS_DIR OUTPUT.png

Three panels: handshake time against client size beside openssl dgst of the
same two files, the PONG latency histogram, and the service's CPU share
beside the floor process in the same windows.
"""
import csv
import statistics
import sys

import matplotlib

matplotlib.use("Agg")  # no display on a build machine
import matplotlib.pyplot as plt  # noqa: E402


def read_rows(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def quantile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def plot_handshake(axis, rows):
    sizes = sorted({int(row["size_mib"]) for row in rows})
    for column, label, marker in (
        ("handshake_ms", "handshake (HELLO to OK)", "o"),
        ("openssl_ms", "openssl dgst -sha256, same files", "s"),
    ):
        medians, low, high = [], [], []
        for size in sizes:
            values = [float(r[column]) for r in rows if int(r["size_mib"]) == size]
            median = statistics.median(values)
            medians.append(median)
            low.append(median - quantile(values, 0.1))
            high.append(quantile(values, 0.9) - median)
        axis.errorbar(sizes, medians, yerr=[low, high], marker=marker,
                      capsize=4, label=label)
    axis.set_xlabel("client executable size (MiB)")
    axis.set_ylabel("ms (median, bars p10..p90)")
    axis.set_xticks(sizes)
    axis.set_ylim(bottom=0)
    axis.set_title("Handshake vs openssl dgst")
    axis.grid(alpha=0.3)
    axis.legend(fontsize=8, loc="upper left")


def plot_pong(axis, rows):
    values = [float(row["latency_ms"]) for row in rows]
    top = max(230, int(max(values)) + 20)
    axis.hist(values, bins=range(0, top, 10), color="tab:green",
              edgecolor="black", linewidth=0.5)
    axis.axvline(200, color="tab:red", linestyle="--", label="200 ms pass")
    axis.set_xlabel("PING written to PONG read (ms)")
    axis.set_ylabel("PONGs")
    axis.set_title(f"PONG latency, {len(values)} PONGs, median "
                   f"{statistics.median(values):.0f} ms")
    axis.grid(alpha=0.3)
    axis.legend(fontsize=8)


def plot_cpu(axis, rows):
    names = {"small_5s": "32 sessions\nsmall image",
             "big_5s": "32 sessions\n64 MiB image"}
    chosen = [row for row in rows if row["window"] in names]
    positions = range(len(chosen))
    service = [float(row["cpu_percent"]) for row in chosen]
    floor = [float(row["floor_cpu_percent"]) for row in chosen]
    width = 0.38
    axis.bar([p - width / 2 for p in positions], service, width,
             label="service")
    axis.bar([p + width / 2 for p in positions], floor, width,
             label="floor: bare pass system calls, 32 threads")
    axis.axhline(0.3, color="tab:red", linestyle="--", label="0.3 % target")
    axis.set_xticks(list(positions))
    axis.set_xticklabels([names[row["window"]] for row in chosen])
    axis.set_ylim(0, max(service + floor + [0.3]) * 1.45)
    axis.set_ylabel("% of one core")
    axis.set_title("CPU, 32 sessions pinging every 5 s")
    axis.grid(alpha=0.3, axis="y")
    axis.legend(fontsize=8, loc="upper center")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results, output = sys.argv[1], sys.argv[2]
    figure, axes = plt.subplots(1, 3, figsize=(16, 4.8))
    plot_handshake(axes[0], read_rows(f"{results}/handshake.csv"))
    plot_pong(axes[1], read_rows(f"{results}/pong.csv"))
    plot_cpu(axes[2], read_rows(f"{results}/cpu.csv"))
    figure.tight_layout()
    figure.savefig(output, dpi=100)


if __name__ == "__main__":
    main()
