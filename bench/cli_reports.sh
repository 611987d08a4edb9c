#!/usr/bin/env bash
# What each kestrune-cli command sends to the keyboard emulator (1 ms each
# way per report), as the emulator lists the reports it takes at
# KESTRUNE_EMULATOR_DEBUG=2, run by hand:
#   - the reports of each command;
#   - for apply and read-back of the largest configuration (bench_apply's),
#     the time from the first report to the last and of the whole run against
#     the time the link alone takes (2 ms per report and the 10 ms pause
#     before each EndUpdate), median of RUNS runs.
#
#   bench/cli_reports.sh [BUILD_DIR] [RUNS]
# The build's bin/ folder is used as it stands (cmake --build BUILD_DIR
# --target kestrune-cli bench_apply first).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-7}
cli="$build/bin/kestrune-cli"
[ -x "$cli" ] && [ -x "$build/bin/bench_apply" ] || { echo "build kestrune-cli and bench_apply first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work" XDG_CONFIG_HOME="$work/.config" XDG_RUNTIME_DIR="$work/run"
export KESTRUNE_EMULATOR_STATE="$work/emulator.json" KESTRUNE_EMULATOR_SOCKET="$work/emulator.sock"
export KESTRUNE_EMULATOR_LATENCY_US=1000
mkdir -p "$work/run" "$work/Documents"
chmod 700 "$work/run"
"$build/bin/bench_apply" 1 1000 "$work/largest.kpf" > /dev/null

# One run: "reports first-to-last-ms its-link-ms whole-ms whole-link-ms". From
# the first report's arrival to the last one's, the link takes all exchanges
# but the last and the pauses; the whole run, every exchange.
run() {
  local start end
  start=$(date +%s%N)
  KESTRUNE_EMULATOR_DEBUG=2 "$cli" --emulator "$@" 2> "$work/err" > /dev/null ||
    { echo "kestrune-cli $*: $(grep -v 'emulator:' "$work/err")" >&2; exit 1; }
  end=$(date +%s%N)
  grep ' out 04' "$work/err" | awk -v whole="$(( (end - start) / 1000 ))" -v latency="$KESTRUNE_EMULATOR_LATENCY_US" '
    { command = substr($4, 7, 2); at = $(NF - 1); if (NR == 1) first = at; last = at; if (command == "02") ends++ }
    END { exchange = 2 * latency / 1000
          printf "%d %.1f %.1f %.1f %.1f\n", NR, last - first, (NR - 1) * exchange + 10 * ends, whole / 1000,
                 NR * exchange + 10 * ends }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-45s %s\n' "command" "reports"
for args in "profile" "profile set 1" "status" "lighting" "lighting set --brightness 3" \
            "lighting set --effect 5 --colour 102030" "key-colour A 112233" "lighting defaults" \
            "apply $work/largest.kpf" "read-back $work/back.kpf"; do
  # shellcheck disable=SC2086
  printf '%-45s %s\n' "${args/$work\//}" "$(run $args | cut -d' ' -f1)"
done

# The working file exists, as it does once the program has run.
mkdir -p "$work/Documents/Mechanical Keyboard"
cp "$work/largest.kpf" "$work/Documents/Mechanical Keyboard/\$Profile0"
for what in apply read-back; do
  : > "$work/times"
  for _ in $(seq "$runs"); do
    if [ "$what" = apply ]; then run apply "$work/largest.kpf"; else run read-back "$work/back.kpf"; fi >> "$work/times"
  done
  read -r reports _ link _ wholeLink < "$work/times"
  span=$(cut -d' ' -f2 "$work/times" | median)
  whole=$(cut -d' ' -f4 "$work/times" | median)
  awk -v w="$what" -v r="$reports" -v s="$span" -v l="$link" -v h="$whole" -v hl="$wholeLink" -v n="$runs" 'BEGIN {
    printf "%s of the largest configuration: %d reports; first to last report %.1f ms against the link'"'"'s %.1f ms (%.3f x); whole run %.1f ms against %.1f ms (%.3f x); medians of %d\n",
      w, r, s, l, s / l, h, hl, h / hl, n }'
done
