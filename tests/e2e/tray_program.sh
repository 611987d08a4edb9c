#!/usr/bin/env bash
# The program as a user meets it: installed, on a real X server (Xvfb) with a
# tray (trayer), on the keyboard emulator, driven with xdotool.
#   1. started with /Start it stays hidden, its icon docked in the tray;
#   2. a second start shows the window and ends with status 0;
#   3. a click on the second profile button makes it the keyboard's active profile;
#   4. /Kill ends the program with status 0.
# Every process started here is stopped by its process id.
#
#   tray_program.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)

for tool in Xvfb trayer xdotool xwininfo python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (bash scripts/install-deps installs it)" >&2
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/kestrune.log" ] && sed 's/^/  kestrune: /' "$work/kestrune.log" >&2
  exit 1
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1; shift
  local i
  for ((i = 0; i < tenths; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The installed tree, as the package lays it out.
cmake --install "$build" --prefix "$work/usr" >/dev/null || fail "cmake --install failed"
program="$work/usr/bin/kestrune"
emu="$work/usr/bin/kestrune-emu"
[ -x "$program" ] || fail "no $program after installing"

# A display of our own; Xvfb tells its number on a file descriptor.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"

trayer --edge top --align right --widthtype pixel --width 120 --height 28 --SetDockType true \
       --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
# Icons dock into trayer's panel window.
wait_for 100 xdotool search --classname '^panel$' || fail "trayer did not come up"
tray_window=$(xdotool search --classname '^panel$' | head -n1)

# A user of our own: home, documents, runtime folder, and the emulator's state.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME/Documents" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export KESTRUNE_EMULATOR_STATE="$work/emulator.json" KESTRUNE_EMULATOR_SOCKET="$work/emulator.sock"
export KESTRUNE_EMULATOR_LATENCY_US=0
unset QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY

"$program" --emulator /Start >"$work/kestrune.log" 2>&1 &
kestrune_pid=$!
pids+=($kestrune_pid)

# 1. The icon docks into the tray; the window stays hidden.
docked() { xwininfo -tree -id "$tray_window" | grep -q '"kestrune"'; }
wait_for 150 docked || fail "the tray icon did not appear in the tray"
wait_for 100 test -S "$KESTRUNE_EMULATOR_SOCKET" || fail "the emulator's control socket did not appear"
sleep 1 # the attach at start: with /Start it must not bring the window up
main_window() { xdotool search --onlyvisible --name '^Gaming Keyboard Settings$'; }
if main_window >/dev/null 2>&1; then fail "the window came up although started with /Start"; fi
kill -0 "$kestrune_pid" 2>/dev/null || fail "the program ended"

# 2. A second start shows the running program's window and ends with 0.
timeout 30 "$program" --emulator >>"$work/kestrune.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "the second start ended with $status"
wait_for 100 main_window || fail "the second start did not bring the window up"
window=$(main_window | head -n1)

# 3. A click on the second profile button switches the keyboard's profile.
active_profile() {
  "$emu" dump | python3 -c 'import json, sys; print(int(json.load(sys.stdin)["settings"][20:22], 16))'
}
[ "$(active_profile)" = 0 ] || fail "the emulator does not start on profile 0"
read -r x y w h < <(sed -n 's/^FUNC_PROFILE2=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p' \
                      "$work/usr/lib/kestrune/Skins/Main.ini")
[ -n "${h:-}" ] || fail "FUNC_PROFILE2 is not in the installed Main.ini"
xdotool mousemove --window "$window" $((x + w / 2)) $((y + h / 2)) click 1
profile_is_1() { [ "$(active_profile)" = 1 ]; }
wait_for 100 profile_is_1 || fail "the click on profile 2 left the keyboard on profile $(active_profile)"

# 4. /Kill ends the running program with 0.
timeout 30 "$program" /Kill >>"$work/kestrune.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "/Kill ended with $status"
wait_for 100 bash -c "! kill -0 $kestrune_pid 2>/dev/null" || fail "the program did not end after /Kill"
wait "$kestrune_pid"
status=$?
[ $status -eq 0 ] || fail "the program ended with $status after /Kill"
echo "PASS: hidden in the tray, second start, profile switch by click, /Kill"
