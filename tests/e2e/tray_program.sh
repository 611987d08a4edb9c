#!/usr/bin/env bash
# The program as a user meets it: installed, on a real X server (Xvfb) with a
# tray (trayer), on the keyboard emulator, driven with xdotool. Its session
# bus has a StatusNotifierWatcher but no host, as where a panel that is gone
# left its watcher behind: the icon is an XEmbed one and acts as one.
#   1. started with /Start it stays hidden, its icon docked in the tray;
#   2. a second start shows the window and ends with status 0;
#   3. a click on the second profile button makes it the keyboard's active profile;
#   4. a single click on the tray icon brings up the profile menu, whose third
#      profile makes that profile the keyboard's active one;
#   5. the lighting panel: an effect picked from the list and the brightness
#      slider dragged reach the keyboard's lighting block;
#   6. the key dialog: while it waits for a key the Windows keys are taken from
#      the desktop and their press reaches it; OK and Cancel hand them back; a
#      key captured, OK and Apply reach the keyboard's key table;
#   7. a macro recorded with pauses and assigned to G1 reaches the keyboard's
#      macro area with its keys, directions and the pauses the X server timed;
#      the recording holds the Windows keys and hands them back;
#   8. the keyboard unplugged during a recording and in the single-key pane:
#      the dialog closes and the Windows keys go back to the desktop;
#   9. --firmware-update reaches the running program, which opens its update dialog;
#  10. /Kill ends the program with status 0, with that dialog still open.
# Controls are found where the installed skin places them. Every process
# started here is stopped by its process id. With KESTRUNE_E2E_SHOTS set to a
# folder, a picture of the screen is left there after each step; a failure
# leaves one beside the build (e2e-failure.png).
#
#   tray_program.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installed_program.sh"
require_tools Xvfb trayer xdotool xwininfo python3 dbus-run-session gdbus status-notifier-watcher import convert compare identify
use_own_session_bus "$@"
begin "$1"
install_program
start_display

trayer --edge top --align right --widthtype pixel --width 120 --height 28 --SetDockType true \
       --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
# Icons dock into trayer's panel window.
wait_for 100 xdotool search --classname '^panel$' || fail "trayer did not come up"
tray_window=$(xdotool search --classname '^panel$' | head -n1)

make_user
start_watcher
start_program /Start

# 1. The icon docks into the tray and shows the keyboard attached once the
# program has read it; the window stays hidden.
docked() { xwininfo -tree -id "$tray_window" | grep -q '"kestrune"'; }
wait_for 150 docked || fail "the tray icon did not appear in the tray"
icon=$(xwininfo -tree -id "$tray_window" | awk '/"kestrune"/ { print $1; exit }')
[ -n "$icon" ] || fail "no tray icon window"
# The attach reads the whole keyboard: on a loaded machine that takes a while.
wait_for 300 tray_icon_shows "$icon" 141 || fail "the tray icon did not show the keyboard attached"
sleep 1 # the attach at start: with /Start it must not bring the window up
if main_window >/dev/null 2>&1; then fail "the window came up although started with /Start"; fi
kill -0 "$kestrune_pid" 2>/dev/null || fail "the program ended"

# 2. A second start shows the running program's window and ends with 0.
timeout 30 "$program" --emulator >>"$work/kestrune.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "the second start ended with $status"
wait_for 100 main_window || fail "the second start did not bring the window up"
window=$(main_window | head -n1)

step_shot 2-window

lighting_byte() { emu_state "int(s['lighting'][2 * $1:2 * $1 + 2], 16)"; }

# 3. A click on the second profile button switches the keyboard's profile.
[ "$(active_profile)" = 0 ] || fail "the emulator does not start on profile 0"
click_control "$window" Main.ini FUNC_PROFILE2
wait_for 100 is active_profile 1 || fail "the click on profile 2 left the keyboard on profile $(active_profile)"

# 4. A single click on the tray icon: the profile menu at the cursor. Its items
# are the default profile, a separator and the three keyboard profiles.
before=$(shown_windows)
xdotool mousemove --window "$icon" 8 8 click 1
wait_for 50 new_window "$before" || fail "a single click on the tray icon brought up no profile menu"
step_shot 4-tray-menu
xdotool key Down Down Down Down Return
wait_for 100 is active_profile 2 ||
  fail "the profile menu's third profile left the keyboard on profile $(active_profile)"

# 5. The lighting panel. The switch shows the effect list; the effect is picked
# from the list's popup by its name in the skin, the brightness slider dragged
# across its steps. Both reach the keyboard at once, without Apply.
effect=11 # one with a brightness
effect_name=$(sed -n '/^\[Mode1\]/,/^\[/ s/^'"$effect"'=//p' "$skins/Main.ini" | tr -d '\r')
[ -n "$effect_name" ] || fail "the installed Main.ini names no effect $effect"
[ "$(lighting_byte 0)" != "$effect" ] || fail "the emulator starts on effect $effect already"
click_control "$window" Main.ini CONTROL_DengStaPic
before=$(shown_windows)
click_control "$window" Main.ini CONTROL_XGcombox
wait_for 50 new_window "$before" || fail "a click on the effect list opened no list"
xdotool type --delay 40 "$effect_name"
xdotool key Return
wait_for 100 is lighting_byte "$effect" 0 || fail "picking \"$effect_name\" left the keyboard on effect $(lighting_byte 0)"

# The slider maps its width onto brightness 0 to 4; the drag passes through
# 0 and ends on 1, and the last step is what the keyboard keeps.
brightness_steps=4
read -r x y w h < <(skin_rect Main.ini CONTROL_LightSlider)
step_x() { echo $((x + (2 * $1 + 1) * w / (2 * brightness_steps))); }
[ "$(lighting_byte 1)" != 1 ] || fail "the emulator starts on brightness 1 already"
xdotool mousemove --window "$window" "$(step_x 3)" $((y + h / 2)) mousedown 1 \
        sleep 0.1 mousemove --window "$window" "$(step_x 2)" $((y + h / 2)) \
        sleep 0.1 mousemove --window "$window" "$(step_x 0)" $((y + h / 2)) \
        sleep 0.1 mousemove --window "$window" "$(step_x 1)" $((y + h / 2)) \
        sleep 0.1 mouseup 1
wait_for 100 is lighting_byte 1 1 || fail "the brightness slider dragged to 1 left the keyboard on $(lighting_byte 1)"
sleep 0.5 # nothing later may overwrite it
[ "$(lighting_byte 1)" = 1 ] || fail "the brightness moved on to $(lighting_byte 1) after the drag"
[ "$(lighting_byte 0)" = "$effect" ] || fail "the drag changed the effect to $(lighting_byte 0)"
step_shot 5-lighting
# Off again: with the switch on a click on a key paints it instead of opening its dialog.
click_control "$window" Main.ini CONTROL_DengStaPic

# A second X client's view: whether a key can be grabbed, and the key events
# of the server with its time stamps.
# windows_keys_are held|free [KEYSYM..]: the Windows keys and these are all held by
# the program, or all free for another client to grab.
windows_keys_are() {
  local states
  states=$(python3 "$here/x11_witness.py" grab Super_L Super_R "${@:2}") || return 1
  [ -z "$(echo "$states" | tr ' ' '\n' | grep -vx "$1")" ]
}
window_shown() { shown_windows | grep -qx "$1"; }
# Opens the key dialog with a click on control $1 of the main window; sets $dialog.
open_key_dialog() {
  local before
  before=$(shown_windows)
  click_control "$window" Main.ini "$1"
  wait_for 50 new_window "$before" || fail "a click on $1 opened no key dialog"
  dialog=$(new_window "$before")
}
close_key_dialog() { # BUTTON
  click_control "$dialog" Composite.ini "$1"
  wait_for 50 bash -c "! xdotool search --onlyvisible --pid $kestrune_pid | grep -qx $dialog" ||
    fail "$1 did not close the key dialog"
}
key_tables() { emu_state 's["key_tables"]'; }
# The position of the key table that holds HID keyboard usage $1 by default.
position_of_usage() {
  emu_state "[p for p in range(160) if s['default_key_table'][6 * p:6 * p + 6] == '0202%02x' % $1][0]"
}
table_entry() { emu_state "s['key_tables'][$1][6 * $2:6 * $2 + 6]"; } # PROFILE POSITION

# 6. The key dialog on A. While the single-key pane waits for a key, the
# Windows and App keys belong to it: no other client can grab them, and a
# press of Super reaches the dialog, which captures Win. OK hands them back.
profile=$(active_profile)
usage_a=0x04 # HID keyboard usages
position_a=$(position_of_usage $usage_a)
tables_before=$(key_tables)
open_key_dialog KEY_01E
wait_for 50 windows_keys_are held Menu || fail "the key dialog waiting for a key left the Windows or App keys to others"
xdotool key super
close_key_dialog CONTROL_OK
wait_for 50 windows_keys_are free Menu || fail "the Windows or App keys stayed grabbed after OK"
# Cancel hands them back as well, and changes nothing.
open_key_dialog KEY_030
wait_for 50 windows_keys_are held || fail "the key dialog opened again did not take the Windows keys"
xdotool key z
close_key_dialog CONTROL_CANCEL
wait_for 50 windows_keys_are free Menu || fail "the Windows or App keys stayed grabbed after Cancel"
[ "$(key_tables)" = "$tables_before" ] || fail "the key dialog changed the keyboard before Apply"
# Apply: A sends the left Windows key, {modifier, bit 0x08}; nothing else moved.
click_control "$window" Main.ini CONTROL2_APPLY
wait_for 100 is table_entry 020108 "$profile" "$position_a" ||
  fail "after Apply A's entry in key table $profile is $(table_entry "$profile" "$position_a"), expected 020108 (Win)"
emu_state "[(t, p) for t in range(3) for p in range(160) if s['key_tables'][t][6 * p:6 * p + 6] !=
            $tables_before[t][6 * p:6 * p + 6] and (t, p) != ($profile, $position_a)]" >"$work/moved"
[ "$(cat "$work/moved")" = "[]" ] || fail "Apply changed more key table entries: $(cat "$work/moved")"
step_shot 6-key-dialog

# 7. A macro recorded on G1: the macro pane hands the Windows keys back, the
# recording takes them and its end returns them. The pauses between the
# presses are the X server's own times, as a second client records them.
tables_before=$(key_tables)
open_key_dialog FUNC_G1
wait_for 50 windows_keys_are held || fail "the key dialog on G1 did not take the Windows keys"
click_control "$dialog" Composite.ini CONTROL_MACRO
wait_for 50 windows_keys_are free Menu || fail "the macro pane left the Windows or App keys grabbed"
click_control "$dialog" Composite.ini FUNC_MACRO_ADD
click_control "$dialog" Composite.ini FUNC_MACRO_RECORD_DELAY # record the pauses too
python3 "$here/x11_witness.py" record "$work/witness" 2>>"$work/witness.log" &
witness_pid=$!
pids+=($witness_pid)
wait_for 100 grep -qx ready "$work/witness" || fail "the X server's key events cannot be recorded"
click_control "$dialog" Composite.ini FUNC_MACRO_RECORD
wait_for 50 windows_keys_are held || fail "recording a macro left the Windows keys to others"
xdotool keydown x sleep 0.3 keyup x sleep 0.5 keydown y sleep 0.2 keyup y
click_control "$dialog" Composite.ini FUNC_MACRO_RECORD
wait_for 50 windows_keys_are free || fail "the Windows keys stayed grabbed after the recording"
kill "$witness_pid" 2>/dev/null
step_shot 7-macro
close_key_dialog CONTROL_OK
click_control "$window" Main.ini CONTROL2_APPLY
macro_count() {
  emu_state "int.from_bytes(bytes.fromhex(s['macro_area'])[4:6], 'little') \
             if s['macro_area'][0:4] == 'aa55' else 'none'"
}
wait_for 100 is macro_count 1 || fail "after Apply the keyboard holds $(macro_count) macros, expected 1"
# The area: header, entry offsets, then per entry its action count, cycles,
# name length and four bytes an action: a word of delay (10 ms units), kind
# and press bit, then the key's {sub, usage}.
"$emu" dump | python3 -c '
import json, sys
area = bytes.fromhex(json.load(sys.stdin)["macro_area"])
u16 = lambda at: int.from_bytes(area[at:at + 2], "little")
entry = u16(16)
actions = []
for n in range(u16(entry)):
    word = u16(entry + 4 + 4 * n)
    sub, usage = area[entry + 6 + 4 * n], area[entry + 7 + 4 * n]
    actions.append(("press" if word & 0x8000 else "release", (word >> 12) & 7, sub, usage, (word & 0xFFF) * 10))
pressed = [line.split() for line in open(sys.argv[1]) if line.strip() != "ready"]
times = [int(event[2]) for event in pressed]
expected = [("press", 0x1B), ("release", 0x1B), ("press", 0x1C), ("release", 0x1C)] # HID usages of X and Y
problems = []
if [(a[0], a[3]) for a in actions] != expected or any(a[1:3] != (2, 2) for a in actions):
    problems.append("actions %s, expected the keys and directions %s" % (actions, expected))
elif [event[0] for event in pressed] != [direction for direction, _ in expected]:
    problems.append("the X server saw %s" % pressed)
else:
    for n in range(3):
        pause = times[n + 1] - times[n]
        if not pause - 10 < actions[n][4] <= pause:
            problems.append("action %d waits %d ms, the X server timed %d ms" % (n + 1, actions[n][4], pause))
print("; ".join(problems))
' "$work/witness" >"$work/macro_problems" || fail "the macro area could not be read"
[ -z "$(cat "$work/macro_problems")" ] || fail "the macro on the keyboard: $(cat "$work/macro_problems")"
# Macro keys are not in the keyboard's key table: Apply left it alone.
[ "$(key_tables)" = "$tables_before" ] || fail "assigning the macro to G1 changed the keyboard's key tables"

# 8. The keyboard unplugged while the key dialog holds the Windows keys, in a
# recording and in the single-key pane: the dialog closes with the window and
# the keys go back to the desktop. Plugged in again, the window comes back on
# a second start.
unplug_during() { # WHAT
  "$emu" unplug >/dev/null || fail "the emulator did not unplug the keyboard"
  wait_for 50 windows_keys_are free Menu || fail "the Windows or App keys stayed grabbed after an unplug during $1"
  wait_for 50 bash -c "! xdotool search --onlyvisible --pid $kestrune_pid | grep -qx $dialog" ||
    fail "the key dialog stayed open after an unplug during $1"
  wait_for 100 tray_icon_shows "$icon" 128 || fail "the tray icon did not show the keyboard detached after $1"
  "$emu" plug >/dev/null || fail "the emulator did not plug the keyboard in"
  # Only a finished attach lets a second start show the window.
  wait_for 300 tray_icon_shows "$icon" 141 || fail "the tray icon did not show the keyboard attached again"
}
open_key_dialog FUNC_G1
click_control "$dialog" Composite.ini CONTROL_MACRO
click_control "$dialog" Composite.ini FUNC_MACRO_RECORD
wait_for 50 windows_keys_are held || fail "recording again left the Windows keys to others"
unplug_during "a recording"
timeout 30 "$program" --emulator >>"$work/kestrune.log" 2>&1
wait_for 100 main_window || fail "a second start did not bring the window up after the keyboard came back"
window=$(main_window | head -n1)
open_key_dialog KEY_01E
wait_for 50 windows_keys_are held Menu || fail "the key dialog after the replug did not take the Windows or App keys"
unplug_during "the single-key pane"

# 9. A request for the firmware update, handed to the running program, opens
# its update dialog; the request itself ends with 0.
before=$(shown_windows)
timeout 30 "$program" --emulator --firmware-update >>"$work/kestrune.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "--firmware-update ended with $status"
wait_for 100 new_window "$before" || fail "--firmware-update opened no update dialog"
step_shot 8-update-dialog

# 10. /Kill ends the running program with 0, its update dialog open.
kill_program
echo "PASS: hidden in the tray, second start, profile switch by click and by the tray's profile menu," \
     "effect and brightness from the lighting panel, key dialog with the Windows keys grabbed and handed back," \
     "a key and a recorded macro on the keyboard, the keys handed back on unplug, the update dialog on request, /Kill"
