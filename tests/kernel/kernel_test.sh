#!/usr/bin/env bash
# The real device library (libHidRelay.so on hidapi's hidraw backend and
# libudev) in the mocked kernel of `kestrune-emu kernel`, through the
# command-line tool and the program. One case per run:
#   enumeration             the keyboard found by its command collection; the
#                           typing interface and another vendor's device with
#                           the same collections never opened; command reports
#                           go out as 64 bytes with report id 4 and their
#                           replies come back through the standing read
#   hid_access              the udev helper marks the keyboard's nodes but the
#                           typing interface, reading the mocked sysfs
#   apply_matches_emulator  apply and read-back of the largest configuration
#                           leave the same keyboard and the same file as
#                           through the emulator library
#   unplug_during_transfer  the keyboard pulled out during an apply: a clear
#                           failure well inside the protocol's time-outs, and
#                           the keyboard found again when it comes back
#   unplug_during_reply_wait  pulled out while a reply is awaited
#   no_permission           nodes the user may not open: "no permission" and
#                           the udev rule, never "no keyboard"
#   two_keyboards           one keyboard gets all of a command's traffic; with
#                           it gone the program reaches the other
#   window_detach           the program's window comes up at the first attach
#                           through the real library, writes the bank status
#                           when the bank key is pressed, hides when the
#                           keyboard is unplugged and reads it again when it
#                           comes back
#   two_keyboards_window    a second keyboard arriving ahead of the first in
#                           the list does not take the first one's bank status
# Every process started here is stopped by its process id.
#
#   kernel_test.sh BIN_DIR CASE
set -uo pipefail
bin=$(cd "$1" && pwd)
case_name=$2
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
emu=$bin/kestrune-emu
cli=$bin/kestrune-cli

# The case's own folders; the part that runs inside the kernel inherits them.
if [ -z "${KERNEL_TEST_WORK:-}" ]; then
  KERNEL_TEST_WORK=$(mktemp -d)
  export KERNEL_TEST_WORK
  owner=1
fi
work=$KERNEL_TEST_WORK
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -n "${owner:-}" ] && rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export KESTRUNE_EMULATOR_STATE=$work/keyboard.json KESTRUNE_EMULATOR_SOCKET=$work/keyboard.sock
unset KESTRUNE_DEVICE_LIBRARY KESTRUNE_EMULATOR_FAULTS KESTRUNE_EMULATOR_LATENCY_US

fail() {
  echo "FAIL ($case_name): $*" >&2
  local log
  for log in "$work"/*.log; do [ -f "$log" ] && sed "s|^|  $(basename "$log"): |" "$log" >&2; done
  exit 1
}
wait_for() {
  local tenths=$1 i
  shift
  for ((i = 0; i < tenths; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Runs the named part of this case inside a mocked kernel: kernel [OPTIONS] PART.
kernel() {
  local part=${!#}
  "$emu" kernel "${@:1:$#-1}" -- bash "$script" "$bin" "$part"
}
nodes() { "$emu" nodes >"$work/nodes.log" 2>&1 || fail "kestrune-emu nodes failed"; }
node_line() { grep -E "^$1 .* $2 " "$work/nodes.log"; }
# The keyboard's active profile as the emulated keyboard holds it.
keyboard_profile() {
  "$emu" dump | python3 -c 'import json, sys; print(int(json.load(sys.stdin)["settings"][20:22], 16))'
}

# The program on an X server of its own, in the mocked kernel.
start_display() {
  for tool in Xvfb xdotool; do command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 77; }; done
  exec 5>"$work/display"
  Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=":$(head -n1 "$work/display")"
}
main_window() { xdotool search --onlyvisible --name '^Gaming Keyboard Settings$'; }
start_program() { # [KERNEL OPTIONS]
  "$emu" kernel "$@" -- "$bin/kestrune" >"$work/kestrune.log" 2>&1 &
  kernel_pid=$!
  pids+=($kernel_pid)
  wait_for 300 main_window || fail "the window did not come up at the first attach"
}
end_program() {
  timeout 30 "$bin/kestrune" --kill >>"$work/kestrune.log" 2>&1 || fail "kestrune --kill failed"
  wait $kernel_pid
  local status=$?
  [ $status = 0 ] || fail "the kernel ended with $status after the program ended"
}
bank_written() { nodes && node_line "$1" bank-status | grep -q ' lengths 2 ids 05$'; }

case $case_name in
enumeration)
  kernel --other-vendor inside_enumeration || fail "the kernel's command failed"
  ;;
inside_enumeration)
  "$cli" status >"$work/status.log" 2>&1 || fail "status failed"
  grep -q '^Keyboard: attached (.*/libHidRelay.so)$' "$work/status.log" || fail "status did not show the keyboard"
  nodes
  node_line keyboard-1 typing | grep -q ' opens 0 ' || fail "the typing interface was opened"
  node_line keyboard-1 command |
    grep -Eq ' /dev/hidraw[0-9]+ opens [1-9][0-9]* reads [1-9][0-9]* writes [1-9][0-9]* lengths 64 ids 04$' ||
    fail "command reports did not go out as 64 bytes with report id 04, or no reply was read"
  node_line keyboard-1 consumer | grep -Eq ' opens [1-9]' || fail "the consumer reports were not read"
  [ "$(grep -c '^other-vendor ' "$work/nodes.log")" = 4 ] || fail "the other vendor's device is not listed"
  if grep '^other-vendor ' "$work/nodes.log" | grep -vq ' opens 0 '; then
    fail "the other vendor's device was opened"
  fi
  ;;

hid_access)
  kernel inside_hid_access || fail "the kernel's command failed"
  ;;
inside_hid_access)
  nodes
  checked=0
  while read -r label _ _ _ role node _; do
    [ "$label" = keyboard-1 ] || continue
    descriptor=/sys/class/hidraw/${node#/dev/}/device/report_descriptor
    granted=$("$bin/kestrune-hid-access" "$descriptor") || fail "kestrune-hid-access failed on $descriptor"
    case $role in
    typing) [ -z "$granted" ] || fail "the typing interface $node was granted" ;;
    *) [ "$granted" = KESTRUNE_HID_ACCESS=1 ] || fail "the $role interface $node was not granted" ;;
    esac
    checked=$((checked + 1))
  done <"$work/nodes.log"
  [ $checked = 4 ] || fail "$checked of the keyboard's 4 nodes checked"
  ;;

apply_matches_emulator)
  "$bin/kernel-test-profile" "$work/largest.kpf" || fail "no profile file to apply"
  kernel inside_apply || fail "the apply or the read-back through the real library failed"
  (
    export KESTRUNE_EMULATOR_STATE=$work/emulator.json KESTRUNE_EMULATOR_SOCKET=$work/emulator.sock
    "$cli" --emulator apply "$work/largest.kpf" >"$work/emulator-apply.log" 2>&1 || fail "apply on the emulator failed"
    "$cli" --emulator read-back "$work/emulator.kpf" >"$work/emulator-read-back.log" 2>&1 ||
      fail "read-back on the emulator failed"
    "$emu" dump >"$work/emulator-dump.json" || fail "no dump of the emulator library's keyboard"
  ) || exit 1
  cmp -s "$work/kernel-dump.json" "$work/emulator-dump.json" ||
    fail "the keyboards differ after the same apply: $(diff "$work/kernel-dump.json" "$work/emulator-dump.json" | head -n 6)"
  cmp "$work/kernel.kpf" "$work/emulator.kpf" || fail "the read-back files differ"
  ;;
inside_apply)
  "$cli" apply "$work/largest.kpf" >"$work/kernel-apply.log" 2>&1 || fail "apply failed"
  "$cli" read-back "$work/kernel.kpf" >"$work/kernel-read-back.log" 2>&1 || fail "read-back failed"
  "$emu" dump >"$work/kernel-dump.json" || fail "no dump of the kernel's keyboard"
  ;;

unplug_during_transfer)
  "$bin/kernel-test-profile" "$work/largest.kpf" || fail "no profile file to apply"
  kernel inside_unplug_during_transfer || fail "the kernel's command failed"
  ;;
inside_unplug_during_transfer)
  # The apply sends 174 reports; the keyboard goes after the 60th.
  "$emu" fault unplug-after 60 >/dev/null || fail "cannot arm the unplug"
  start=$(now_ms)
  "$cli" apply "$work/largest.kpf" >"$work/apply.log" 2>&1
  status=$?
  elapsed=$(($(now_ms) - start))
  [ $status = 1 ] || fail "apply ended with $status, not 1 (keyboard failed)"
  grep -q 'failed' "$work/apply.log" || fail "apply did not say that it failed"
  # One command may wait three attempts of a second each; an unplug cuts that short.
  [ $elapsed -lt 3000 ] || fail "apply took $elapsed ms to give up"
  "$cli" profile >"$work/absent.log" 2>&1 && fail "a command succeeded with the keyboard out"
  "$emu" plug >/dev/null || fail "cannot plug the keyboard back in"
  "$cli" profile >"$work/back.log" 2>&1 || fail "the keyboard was not found again"
  ;;

unplug_during_reply_wait)
  kernel inside_unplug_during_reply_wait || fail "the kernel's command failed"
  ;;
inside_unplug_during_reply_wait)
  # The first reply is lost: the command waits for it on the standing read
  # when the keyboard goes.
  "$emu" fault drop 1 >/dev/null || fail "cannot arm the lost reply"
  start=$(now_ms)
  "$cli" profile >"$work/profile.log" 2>&1 &
  cli_pid=$!
  pids+=($cli_pid)
  sleep 0.4
  "$emu" unplug >/dev/null || fail "cannot unplug"
  wait $cli_pid
  status=$?
  elapsed=$(($(now_ms) - start))
  [ $status = 1 ] || fail "the command ended with $status, not 1 (keyboard absent or failed)"
  [ $elapsed -lt 3000 ] || fail "the command took $elapsed ms to give up"
  ;;

no_permission)
  wrap=()
  if [ "$(id -u)" = 0 ]; then
    # Root opens a node of any mode: the kernel and the command run as the
    # owner of every file here, without the power to override a mode, in a
    # user namespace of their own.
    wrap=(unshare --user --map-user=1000 --map-group=1000)
    "${wrap[@]}" true 2>/dev/null || { echo "user namespaces are not available" >&2; exit 77; }
  fi
  "${wrap[@]}" "$emu" kernel --node-mode 000 -- "$cli" status >"$work/status.log" 2>&1
  status=$?
  [ $status = 1 ] || fail "status ended with $status, not 1"
  grep -q 'no permission' "$work/status.log" || fail "no words saying there is no permission"
  grep -q '70-kestrune.rules' "$work/status.log" || fail "the udev rule is not named"
  if grep -qi 'no keyboard\|not attached' "$work/status.log"; then fail "the keyboard was said to be absent"; fi
  ;;

two_keyboards)
  kernel --keyboards 1 inside_two_keyboards || fail "the kernel's command failed"
  ;;
inside_two_keyboards)
  "$cli" profile set 2 >"$work/set.log" 2>&1 || fail "profile set failed"
  [ "$(keyboard_profile)" = 2 ] || fail "the first keyboard did not switch to profile 2"
  nodes
  if grep '^keyboard-2 ' "$work/nodes.log" | grep -vq ' opens 0 '; then fail "the second keyboard was opened as well"; fi
  "$emu" unplug >/dev/null || fail "cannot unplug the first keyboard"
  [ "$("$cli" profile 2>"$work/profile.log")" = 0 ] || fail "the second keyboard (on profile 0) was not reached"
  nodes
  node_line keyboard-2 command | grep -Eq ' opens [1-9]' || fail "the second keyboard's command interface was not opened"
  ;;

window_detach)
  start_display
  start_program
  "$emu" bank-key >/dev/null || fail "cannot press the bank key"
  wait_for 50 bank_written keyboard-1 || fail "the bank status did not go out as 2 bytes with report id 05"
  "$emu" unplug >/dev/null || fail "cannot unplug"
  wait_for 50 eval '! main_window' || fail "the window stayed up with the keyboard unplugged"
  before=$("$emu" received | wc -l)
  "$emu" plug >/dev/null || fail "cannot plug the keyboard back in"
  read_again() { [ "$("$emu" received | wc -l)" -gt "$before" ]; }
  wait_for 100 read_again || fail "the keyboard was not read again when it came back"
  end_program
  ;;

two_keyboards_window)
  # The first keyboard, listed first, arrives while the program already
  # talks to the second: the bank status still goes to the second.
  "$emu" unplug >/dev/null || fail "cannot start with the first keyboard unplugged"
  start_display
  start_program --keyboards 1
  "$emu" plug >/dev/null || fail "cannot plug the first keyboard in"
  sleep 0.5 # its uevent reaches the program
  "$emu" --keyboard 2 bank-key >/dev/null || fail "cannot press the second keyboard's bank key"
  wait_for 50 bank_written keyboard-2 || fail "the bank status did not reach the second keyboard"
  node_line keyboard-1 bank-status | grep -q ' writes 0 ' || fail "the bank status went to the first keyboard"
  end_program
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
exit 0
