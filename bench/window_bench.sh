#!/usr/bin/env bash
# Benchmarks of the window program on the keyboard emulator, under Xvfb with
# a tray (trayer), run by hand:
#   - cold start: process start to tray-ready (the deferred initialisation
#     handled, icon added) and to the window's first paint (the emulator is
#     attached, so the first attach brings the window up), median of N runs;
#   - resident memory hidden in the tray after start-up, and the CPU time
#     that start took;
#   - 60 s idle in the tray with the keyboard attached: CPU time and wake-ups
#     (context switches of all the program's threads).
#
#   bench/window_bench.sh [BUILD_DIR] [RUNS] [IDLE_SECONDS]
# The build's bin/ folder is used as it stands (cmake --build BUILD_DIR first).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-10}
idle=${3:-60}
program="$build/bin/kestrune"
[ -x "$program" ] || { echo "no $program: build it first" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
trayer --edge top --align right --widthtype pixel --width 120 --height 28 --SetDockType true >/dev/null 2>&1 &
pids+=($!)
sleep 1

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME/Documents" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export KESTRUNE_EMULATOR_STATE="$work/emulator.json" KESTRUNE_EMULATOR_SOCKET="$work/emulator.sock"
export KESTRUNE_EMULATOR_LATENCY_US=${KESTRUNE_EMULATOR_LATENCY_US:-0}
unset QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY

# Starts the program with the launch time handed over; waits for a mark.
# The launch time is taken in the process that becomes the program, just
# before it does (exec): neither the launcher's start nor its end is
# counted, the program's loading of its libraries is, and the CPU time read
# from /proc is the program's alone. Bash reads the wall clock without a
# process of its own; the program measures CLOCK_MONOTONIC, so the offset
# between the two is taken once.
clock_offset_ns=$(python3 -c 'import time; print(time.monotonic_ns() - time.time_ns())')
start_program() { # LOG ARGS...
  local log=$1; shift
  (
    now_us=${EPOCHREALTIME//[.,]/}
    export KESTRUNE_BENCH_T0=$((10#$now_us * 1000 + clock_offset_ns))
    exec "$program" --emulator "$@"
  ) 2>"$log" &
  program_pid=$!
}
wait_mark() { # LOG NAME
  local i
  for i in $(seq 300); do
    grep -q "kestrune-bench: $2 " "$1" 2>/dev/null && { sed -n "s/^kestrune-bench: $2 \([0-9.]*\) ms/\1/p" "$1"; return 0; }
    sleep 0.05
  done
  echo "no $2 mark; log:" >&2; cat "$1" >&2; return 1
}
stop_program() {
  "$program" /Kill >/dev/null 2>&1 || true
  wait "$program_pid" 2>/dev/null || true
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

# Warm the page cache once, as "cold start" here means a new process, not a cold disk.
start_program "$work/warm.log"; wait_mark "$work/warm.log" window-shown >/dev/null; stop_program

: >"$work/tray.txt"; : >"$work/shown.txt"; : >"$work/cpu.txt"
ticks=$(getconf CLK_TCK)
for i in $(seq "$runs"); do
  start_program "$work/run$i.log"
  wait_mark "$work/run$i.log" tray-ready >>"$work/tray.txt"
  wait_mark "$work/run$i.log" window-shown >>"$work/shown.txt"
  # CPU time the start-up took, which a busy machine does not inflate as it does wall time.
  awk -v t="$ticks" '{print ($14 + $15) * 1000 / t}' "/proc/$program_pid/stat" >>"$work/cpu.txt"
  stop_program
done
echo "cold start to tray-ready:   median $(median <"$work/tray.txt") ms over $runs runs"
echo "cold start to window shown: median $(median <"$work/shown.txt") ms over $runs runs"
echo "CPU time of the start-up up to the window shown: median $(median <"$work/cpu.txt") ms"
echo "(machine load while measuring: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"

# Hidden in the tray, keyboard attached.
start_program "$work/idle.log" /Start
wait_mark "$work/idle.log" tray-ready >/dev/null
sleep 3
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$program_pid/status")
echo "resident memory hidden in the tray: $((rss / 1024)) MB ($rss kB)"
awk -v t="$ticks" '{printf "CPU time of a start in the tray (--start), keyboard attached: %.0f ms\n", ($14 + $15) * 1000 / t}' \
  "/proc/$program_pid/stat"

cpu_of() { awk '{print $14 + $15}' "/proc/$program_pid/stat"; }
switches_of() {
  cat /proc/"$program_pid"/task/*/status 2>/dev/null |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2} END {print n}'
}
threads=$(ls "/proc/$program_pid/task" | wc -l)
cpu0=$(cpu_of); sw0=$(switches_of)
sleep "$idle"
cpu1=$(cpu_of); sw1=$(switches_of)
awk -v c=$((cpu1 - cpu0)) -v t="$ticks" -v s="$idle" -v w=$((sw1 - sw0)) -v n="$threads" 'BEGIN {
  printf "idle %d s in the tray, keyboard attached: CPU %.0f ms (%.3f %%), %d wake-ups (%.2f/s) over %d threads\n",
         s, c * 1000 / t, c * 100 / t / s, w, w / s, n }'
stop_program
