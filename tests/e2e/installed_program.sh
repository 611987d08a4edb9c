# Sourced by the end-to-end scripts: the installed program on an X server of
# its own (Xvfb), for a user of its own, on the keyboard emulator, and the
# means to watch and drive it. Every process the script starts and adds to
# `pids` is stopped by its process id when the script ends.
#
#   require_tools TOOL..   ends the script with 77 (skipped) when one is missing
#   use_own_session_bus "$@"  runs the script again on a session bus of its own
#   begin BUILD_DIR        sets build, work (a scratch folder) and the clean-up
#   install_program        the installed tree: program, emu, skins
#   start_display          Xvfb; sets DISPLAY
#   make_user              home, documents, runtime folder, the emulator's state
#   start_watcher          a StatusNotifierWatcher on that bus, no host yet
#   start_program ARGS..   the installed program on the emulator; sets kestrune_pid
#
# With KESTRUNE_E2E_SHOTS set to a folder, step_shot leaves a picture of the
# screen there; a failure leaves one beside the build (e2e-failure.png).
# KESTRUNE_E2E_LATENCY_US slows the emulated keyboard (microseconds each way,
# 0 unless set), so a test can be run against a keyboard that answers late.

require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is missing (bash scripts/install-deps installs it)" >&2
      exit 77
    fi
  done
}

# The bus and its daemon end with the script.
use_own_session_bus() {
  [ -n "${KESTRUNE_E2E_OWN_BUS:-}" ] && return 0
  KESTRUNE_E2E_OWN_BUS=1 exec dbus-run-session -- bash "$0" "$@"
}

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}

begin() {
  build=$(cd "$1" && pwd)
  work=$(mktemp -d)
  trap cleanup EXIT
}

# A picture of the whole screen (ImageMagick's import), when there is a display.
shot() {
  [ -n "${DISPLAY:-}" ] && command -v import >/dev/null || return 0
  import -window root "$1" 2>/dev/null
}
step_shot() {
  [ -n "${KESTRUNE_E2E_SHOTS:-}" ] || return 0
  mkdir -p "$KESTRUNE_E2E_SHOTS" && shot "$KESTRUNE_E2E_SHOTS/$1.png"
}

fail() {
  echo "FAIL: $*" >&2
  if shot "$build/e2e-failure.png" && [ -f "$build/e2e-failure.png" ]; then
    echo "  the screen at the failure: $build/e2e-failure.png" >&2
  fi
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
is() { [ "$("$1" "${@:3}")" = "$2" ]; } # is FUNCTION VALUE [ARGS]

# The installed tree, as the package lays it out.
install_program() {
  cmake --install "$build" --prefix "$work/usr" >/dev/null || fail "cmake --install failed"
  program="$work/usr/bin/kestrune"
  emu="$work/usr/bin/kestrune-emu"
  skins="$work/usr/lib/kestrune/Skins"
  [ -x "$program" ] || fail "no $program after installing"
}

# A display of our own; Xvfb tells its number on a file descriptor.
start_display() {
  exec 5>"$work/display"
  Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=":$(head -n1 "$work/display")"
}

make_user() {
  export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
  mkdir -p "$HOME/Documents" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  export KESTRUNE_EMULATOR_STATE="$work/emulator.json" KESTRUNE_EMULATOR_SOCKET="$work/emulator.sock"
  export KESTRUNE_EMULATOR_LATENCY_US=${KESTRUNE_E2E_LATENCY_US:-0}
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
}

watcher_name=org.kde.StatusNotifierWatcher
on_bus() { # DEST PATH METHOD [ARGS]
  gdbus call --session --dest "$1" --object-path "$2" --method "$3" "${@:4}"
}
watcher() { on_bus "$watcher_name" /StatusNotifierWatcher "$@"; }
start_watcher() {
  status-notifier-watcher >"$work/watcher.log" 2>&1 &
  pids+=($!)
  wait_for 100 watcher org.freedesktop.DBus.Properties.Get "$watcher_name" ProtocolVersion ||
    fail "the StatusNotifierWatcher did not come up"
}

start_program() {
  "$program" --emulator "$@" >"$work/kestrune.log" 2>&1 &
  kestrune_pid=$!
  pids+=($kestrune_pid)
  wait_for 100 test -S "$KESTRUNE_EMULATOR_SOCKET" || fail "the emulator's control socket did not appear"
}

# /Kill ends the running program, which ends with status 0.
kill_program() {
  local status
  timeout 30 "$program" /Kill >>"$work/kestrune.log" 2>&1
  status=$?
  [ $status -eq 0 ] || fail "/Kill ended with $status"
  wait_for 100 bash -c "! kill -0 $kestrune_pid 2>/dev/null" || fail "the program did not end after /Kill"
  wait "$kestrune_pid"
  status=$?
  [ $status -eq 0 ] || fail "the program ended with $status after /Kill"
}

# tray_icon_shows WINDOW ID: the icon in tray window WINDOW is nearer to the
# installed picture tray<ID>.png than to the program's other tray pictures.
tray_icon_shows() {
  local size background id distance best="" best_distance=""
  import -window "$1" "$work/icon.png" 2>/dev/null || return 1
  size=$(identify -format '%wx%h' "$work/icon.png") || return 1
  background=$(convert "$work/icon.png" -format '%[pixel:p{0,0}]' info:)
  for id in 128 141 142; do
    convert "$skins/tray$id.png" -background "$background" -gravity center -resize "$size" -extent "$size" \
            "$work/tray$id.png" || return 1
    distance=$(compare -metric RMSE "$work/icon.png" "$work/tray$id.png" null: 2>&1 | sed 's/ .*//')
    if [ -z "$best" ] || python3 -c "import sys; sys.exit(not $distance < $best_distance)"; then
      best=$id best_distance=$distance
    fi
  done
  [ "$best" = "$2" ]
}

main_window() { xdotool search --onlyvisible --name '^Gaming Keyboard Settings$'; }
# The program's windows on show, and a window that is new since a list of them.
shown_windows() { xdotool search --onlyvisible --pid "$kestrune_pid" 2>/dev/null | sort; }
new_window() { comm -13 <(echo "$1") <(shown_windows) | head -n1 | grep .; }

# Where the installed skin places a control: "x y w h" in its window.
skin_rect() {
  local rect
  rect=$(sed -n "s/^$2=\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3 \4/p" "$skins/$1" | head -n1)
  [ -n "$rect" ] || fail "$2 is not placed in the installed $1"
  echo "$rect"
}
# Clicks the middle of control $3 of skin file $2 in window $1.
click_control() {
  local x y w h
  read -r x y w h < <(skin_rect "$2" "$3")
  xdotool mousemove --window "$1" $((x + w / 2)) $((y + h / 2)) click 1
}

# Evaluates a Python expression on the emulator's state `s` (its JSON dump).
emu_state() {
  "$emu" dump | python3 -c "import json, sys; s = json.load(sys.stdin); print($1)"
}
active_profile() { emu_state 'int(s["settings"][20:22], 16)'; }
