#!/usr/bin/env bash
# Benchmarks of VarnockFWUpdate under Wine. They report figures; they pass or
# fail nothing (the machines are noisy: compare medians of one run only).
#   1. start-up: process start to a shown window with the dock's row in the
#      list, against a minimal Win32 window program and against a raw Win32
#      copy of the program's window (same controls, menu and resources),
#      interleaved runs
#   2. /info start to exit: process start to process exit of the demo's
#      `/info` and `/info /json`, its console twin's `/info`, the product's `/info` (no dock under Wine:
#      exit code 3) and a minimal console program printing one line, standard
#      output on a pipe, interleaved runs (at least 20)
#   3. where start-up time goes: the program's start-up steps timed in-process
#   4. RefreshDeviceList with the simulated dock
#   5. exe sizes, working set after start, CPU used while idle
# Usage: bench/run_benchmarks.sh [BUILD_DIR [RUNS]]   (defaults: build/win, 10)
# Uses the Wine prefix and private display of scripts/wine-env (WINEPREFIX,
# VARNOCK_XVFB_DISPLAY). Raw results: BUILD_DIR/bench-results.jsonl
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/win}" && pwd)
runs=${2:-10}
info_runs=$(( runs > 20 ? runs : 20 ))  # a run costs a fraction of a second
idle_seconds=10

cmake --build "$build" --target benchmarks >/dev/null

unset DISPLAY VARNOCK_OWN_XVFB  # always the private display
. "$root/scripts/wine-env"
wine_prefix_ready
xvfb_ready
# This prefix's persistent server and Wine's services, started once and
# detached, so the measured starts find a warm Wine.
setsid wineserver -p60 </dev/null >/dev/null 2>&1 || true
timeout 60 "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true

winpath() { printf 'Z:%s' "${1//\//\\}"; }
work="$build/bench-work"
rm -rf "$work"
mkdir -p "$work"
cp "$build/demo/demo-dock.ini" "$work/sim-dock.ini"
export VARNOCK_SIM_DOCK
VARNOCK_SIM_DOCK="$(winpath "$work/sim-dock.ini")"
results="$build/bench-results.jsonl"
: > "$results"

wine_run() { (cd "$work" && VARNOCK_WINE_TIMEOUT=900 "$root/scripts/wine-run" "$@" </dev/null) | tee -a "$results"; }

demo=$(winpath "$build/demo/VarnockFWUpdate-demo.exe")
demo_twin=$(winpath "$build/demo/VarnockFWUpdate-demo-cli.exe")
product=$(winpath "$build/VarnockFWUpdate.exe")
minimal=$(winpath "$build/bench/minimal_window.exe")
same_ui=$(winpath "$build/bench/same_ui_window.exe")
minimal_console=$(winpath "$build/bench/minimal_console.exe")
probe="$build/bench/bench_probe.exe"

echo "== start-up to a shown window, $runs runs each, interleaved (raw)"
wine_run "$probe" startup "$runs" \
  "$demo" VarnockFWUpdate VarnockFirmwareUpdate 1 \
  "$product" VarnockFWUpdate VarnockFirmwareUpdate 0 \
  "$same_ui" SameUiWindow SameUiWindow 1 \
  "$minimal" MinimalWindow MinimalWindow 0 >/dev/null

echo "== /info start to exit, $info_runs runs each, interleaved (raw)"
# EXPECTED_EXIT "COMMAND LINE" pairs: a run with another exit code stops the benchmark.
wine_run "$probe" exits "$info_runs" \
  0 "\"$demo\" /info" \
  0 "\"$demo\" /info /json" \
  0 "\"$demo_twin\" /info" \
  3 "\"$product\" /info" \
  0 "\"$minimal_console\"" >/dev/null

echo "== start-up steps in-process (3 runs)"
for _ in 1 2 3; do wine_run "$build/bench/bench_refresh.exe" steps >/dev/null; done

echo "== RefreshDeviceList"
wine_run "$build/bench/bench_refresh.exe" 2000 >/dev/null

echo "== footprint after start, CPU while idle for ${idle_seconds} s"
wine_run "$probe" footprint "$demo" VarnockFWUpdate VarnockFirmwareUpdate 1 "$idle_seconds" >/dev/null
wine_run "$probe" footprint "$minimal" MinimalWindow MinimalWindow 0 "$idle_seconds" >/dev/null

python3 - "$results" "$build" <<'EOF'
import json, os, statistics, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8") if line.startswith("{")]
build = sys.argv[2]
name = lambda exe: exe.split("\\")[-1]
starts = {name(r["exe"]): r for r in rows if "median_ms" in r and "exe" in r}
print("\nStart-up to a shown window (median / min of the runs):")
for exe, r in starts.items():
    print("  %-28s %7.1f ms / %7.1f ms" % (exe, r["median_ms"], r["min_ms"]))
def ratio(label, top, bottom, table=None):
    a, b = (table or starts)[top], (table or starts)[bottom]
    print("  ratio %-44s %.2f (medians), %.2f (minima)" % (
        label + ":", a["median_ms"] / b["median_ms"], a["min_ms"] / b["min_ms"]))
ratio("demo (list filled) / minimal window", "VarnockFWUpdate-demo.exe", "minimal_window.exe")
ratio("same window in raw Win32 / minimal window", "same_ui_window.exe", "minimal_window.exe")
ratio("demo / same window in raw Win32", "VarnockFWUpdate-demo.exe", "same_ui_window.exe")
def command_label(command):
    exe, _, args = command[1:].partition('"') if command.startswith('"') else command.partition(" ")
    return (name(exe) + " " + args.strip()).strip()
exits = {command_label(r["command"]): r for r in rows if "command" in r}
print("\n/info start to exit, output on a pipe (median / min of the runs, exit codes seen):")
for command, r in exits.items():
    print("  %-36s %7.1f ms / %7.1f ms   exit %s" % (
        command, r["median_ms"], r["min_ms"], ",".join(str(c) for c in r["exit_codes"])))
ratio("demo /info / minimal console", "VarnockFWUpdate-demo.exe /info", "minimal_console.exe", exits)
ratio("demo /info /json / minimal console", "VarnockFWUpdate-demo.exe /info /json", "minimal_console.exe", exits)
ratio("console twin /info / minimal console", "VarnockFWUpdate-demo-cli.exe /info", "minimal_console.exe", exits)
ratio("product /info (no dock) / minimal console", "VarnockFWUpdate.exe /info", "minimal_console.exe", exits)
steps = {}
for r in rows:
    if "step" in r:
        steps.setdefault(r["step"], []).append(r["us"] / 1000)
print("\nStart-up steps in-process (median of 3 runs, ms):")
for step, values in steps.items():
    print("  %-28s %7.2f" % (step, statistics.median(values)))
print("\nRefreshDeviceList with the simulated dock (in-process):")
for r in rows:
    if "case" in r:
        print("  %-28s median %7.1f us, mean %7.1f us, p95 %7.1f us (%d calls)" % (
            r["case"], r["median_us"], r["mean_us"], r["p95_us"], r["iterations"]))
print("\nSizes:")
for path in ("VarnockFWUpdate.exe", "stripped/VarnockFWUpdate.exe", "demo/VarnockFWUpdate-demo.exe",
             "bench/minimal_window.exe", "bench/same_ui_window.exe", "bench/minimal_console.exe"):
    full = os.path.join(build, path)
    if os.path.exists(full):
        print("  %-32s %9d bytes" % (path, os.path.getsize(full)))
print("\nAfter start (1 s settled), then idle:")
for r in rows:
    if "working_set_kb" in r:
        print("  %-28s working set %6d KB (peak %6d KB, private %6d KB); CPU idle %.0f ms over %.1f s%s" % (
            name(r["exe"]), r["working_set_kb"], r["peak_working_set_kb"], r["private_kb"], r["idle_cpu_ms"],
            r["idle_s"], "" if r["memory_info"] else " (memory counters unavailable)"))
EOF
