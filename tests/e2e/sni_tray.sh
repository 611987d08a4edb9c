#!/usr/bin/env bash
# The program's icon on a StatusNotifierItem host: the installed program on a
# real X server (Xvfb) and a session bus of its own with a StatusNotifierWatcher
# on it, on the keyboard emulator. This script is the host, through gdbus:
#   1. started with /Start, the program registers its item with the watcher,
#      whose picture shows the keyboard attached once the program has read
#      it, and its window stays hidden;
#   2. the item shows a title, a tooltip and a picture, and exports its menu;
#   3. the host's activation (its click) shows the window; Cancel hides it;
#   4. the host's secondary activation (its middle click) brings up the
#      profile menu, whose third profile becomes the keyboard's active one;
#   5. the host's request for the context menu brings up the tray menu at the
#      cursor, whose first item, Open, shows the window;
#   6. the exported menu holds Open, About and Exit in the words of the
#      language file; Open, clicked there, shows the window;
#   7. the keyboard unplugged, the item shows the detached picture;
#   8. /Kill ends the program with status 0.
#
#   sni_tray.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installed_program.sh"
require_tools Xvfb xdotool python3 dbus-run-session gdbus status-notifier-watcher convert identify
use_own_session_bus "$@"

begin "$1"
install_program
start_display
make_user

start_watcher
# A host announces itself; the program shows an item only once one has.
watcher "$watcher_name.RegisterStatusNotifierHost" "org.kde.StatusNotifierHost-$$" >/dev/null ||
  fail "the watcher refused the host"

start_program /Start

# The quoted strings of a value as gdbus prints it, one a line.
strings_of() { python3 -c 'import re, sys; print("\n".join(re.findall(r"'"'"'((?:[^'"'"'\\]|\\.)*)'"'"'", sys.stdin.read())))'; }

# 1. The item registers; it belongs to the program; the window stays hidden.
registered_item() {
  watcher org.freedesktop.DBus.Properties.Get "$watcher_name" RegisteredStatusNotifierItems | strings_of | grep .
}
wait_for 150 registered_item || fail "the program registered no item with the watcher"
item=$(registered_item | head -n1)
item_service=${item%%/*}
item_path=/StatusNotifierItem
[ "$item_service" = "$item" ] || item_path=/${item#*/}
owner_pid=$(on_bus org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
                   "$item_service" | sed -n 's/.*uint32 \([0-9]*\).*/\1/p')
[ "$owner_pid" = "$kestrune_pid" ] || fail "the item $item belongs to process $owner_pid, not to the program"
item_property() {
  on_bus "$item_service" "$item_path" org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1"
}
# The installed picture tray<ID>.png nearest to the item's: its largest pixmap,
# or the picture file its icon name points to. Nothing when it shows neither.
item_icon() {
  item_property IconPixmap >"$work/pixmap" && item_property IconName >"$work/icon-name" || return 1
  python3 - "$work/pixmap" "$work/icon-name" "$skins" <<'PY'
import os, re, subprocess, sys
pixmap, icon_name, skins = open(sys.argv[1]).read(), open(sys.argv[2]).read(), sys.argv[3]
def rgba(picture, size):
    return subprocess.run(["convert", picture, "-background", "none", "-resize", f"{size}!", "-depth", "8", "rgba:-"],
                          capture_output=True, check=True).stdout
# Pixmaps are ARGB, 32 bits each in network byte order.
pictures = [(int(w), int(h), bytes(int(b, 16) for b in re.findall(r"0x([0-9a-f]{2})", data)))
            for w, h, data in re.findall(r"\((\d+), (\d+), \[([^\]]*)\]\)", pixmap)]
pictures = [p for p in pictures if p[0] > 0 and len(p[2]) == 4 * p[0] * p[1]]
if pictures:
    w, h, argb = max(pictures)
    size = f"{w}x{h}"
    shown = bytes(argb[i + k] for i in range(0, len(argb), 4) for k in (1, 2, 3, 0))
else:
    names = re.findall(r"'([^']+)'", icon_name)
    if not names or not os.path.isfile(names[0]):
        sys.exit(1)
    size = subprocess.run(["identify", "-format", "%wx%h", names[0]], capture_output=True, check=True, text=True).stdout
    shown = rgba(names[0], size)
def distance(id):
    return sum((a - b) ** 2 for a, b in zip(shown, rgba(f"{skins}/tray{id}.png", size)))
print(min(("128", "141", "142"), key=distance))
PY
}
item_icon_shows() { [ "$(item_icon)" = "$1" ]; } # ID
item_icon_told() {
  local id
  if id=$(item_icon); then echo "its picture is nearest to tray$id.png"; else echo "it shows no picture"; fi
}
# The attach reads the whole keyboard; until its end the item shows it detached
# and an activation answers that there is no keyboard. On a loaded machine the
# attach takes a while.
wait_for 300 item_icon_shows 141 ||
  fail "the item did not show the keyboard attached (tray141.png): $(item_icon_told)"
sleep 1 # with /Start the attach must not bring the window up
if main_window >/dev/null 2>&1; then fail "the window came up although started with /Start"; fi

# 2. What the host shows: title, tooltip, picture (pixels or a name), menu.
[ -n "$(item_property Title | strings_of | grep .)" ] || fail "the item has no title: $(item_property Title)"
[ -n "$(item_property ToolTip | strings_of | grep .)" ] || fail "the item has no tooltip: $(item_property ToolTip)"
has_picture() {
  item_property IconPixmap | grep -q 'byte' || [ -n "$(item_property IconName | strings_of | grep .)" ]
}
has_picture || fail "the item shows no picture"
menu_path=$(item_property Menu | sed -n "s/.*objectpath '\([^']*\)'.*/\1/p")
[ -n "$menu_path" ] && [ "$menu_path" != /NO_DBUSMENU ] || fail "the item exports no menu: $(item_property Menu)"

# 3. The host's activation shows the window; Cancel hides it to the tray again.
on_bus "$item_service" "$item_path" org.kde.StatusNotifierItem.Activate 0 0 >/dev/null ||
  fail "the item refused Activate"
wait_for 100 main_window || fail "Activate did not bring the window up"
window=$(main_window | head -n1)
step_shot 3-activated
click_control "$window" Main.ini CONTROL_CANCEL
wait_for 100 bash -c "! xdotool search --onlyvisible --name '^Gaming Keyboard Settings$'" ||
  fail "Cancel did not hide the window"

# 4. The secondary activation: the profile menu at the cursor. Its items are
# the default profile, a separator and the three keyboard profiles.
[ "$(active_profile)" = 0 ] || fail "the emulator does not start on profile 0"
before=$(shown_windows)
on_bus "$item_service" "$item_path" org.kde.StatusNotifierItem.SecondaryActivate 0 0 >/dev/null ||
  fail "the item refused SecondaryActivate"
wait_for 50 new_window "$before" || fail "SecondaryActivate brought up no profile menu"
step_shot 4-profile-menu
xdotool key Down Down Down Down Return
wait_for 100 is active_profile 2 ||
  fail "the profile menu's third profile left the keyboard on profile $(active_profile)"
if main_window >/dev/null 2>&1; then fail "the profile menu brought the window up"; fi

# 5. A host that draws no menu of its own asks the item for its context menu:
# the tray menu comes up where the host was clicked, Open first.
xdotool mousemove 300 200
before=$(shown_windows)
on_bus "$item_service" "$item_path" org.kde.StatusNotifierItem.ContextMenu 300 200 >/dev/null ||
  fail "the item refused ContextMenu"
wait_for 50 new_window "$before" || fail "ContextMenu brought up no menu"
eval "$(xdotool getwindowgeometry --shell "$(new_window "$before")")"
((X <= 300 && 300 < X + WIDTH && Y <= 200 && 200 < Y + HEIGHT)) ||
  fail "the context menu came up at $X,$Y (${WIDTH}x$HEIGHT), not at the cursor"
step_shot 5-context-menu
xdotool key Down Return
wait_for 100 main_window || fail "Open in the context menu did not bring the window up"
click_control "$(main_window | head -n1)" Main.ini CONTROL_CANCEL
wait_for 100 bash -c "! xdotool search --onlyvisible --name '^Gaming Keyboard Settings$'" ||
  fail "Cancel did not hide the window"

# 6. The exported menu as a host shows it: AboutToShow, then its layout, whose
# labels are the installed language file's, mnemonics aside.
menu_call() { on_bus "$item_service" "$menu_path" "com.canonical.dbusmenu.$1" "${@:2}"; }
menu_call AboutToShow 0 >/dev/null || fail "the menu refused AboutToShow"
menu_texts=()
for key in MENU_11 MENU_22 MENU_33; do
  text=$(sed -n '/^\[ENGINSH\]/,/^\[/ s/^'"$key"'=//p' "$skins/language.ini" | tr -d '\r')
  [ -n "$text" ] || fail "the installed language file has no $key"
  menu_texts+=("$text")
done
layout=$(menu_call GetLayout -- 0 -1 '[]') || fail "the menu refused GetLayout"
# The id of Open when the items are the expected texts in order; nothing otherwise.
open_id=$(python3 -c '
import re, sys
bare = lambda label: label.replace("&", "").replace("_", "")
items = re.findall(r"<\((\d+), \{[^}]*?'"'"'label'"'"': <'"'"'([^'"'"']*)'"'"'>", sys.argv[1])
if [bare(label) for _, label in items] == [bare(text) for text in sys.argv[2:]]:
    print(items[0][0])
' "$layout" "${menu_texts[@]}")
[ -n "$open_id" ] || fail "the exported menu is not \"${menu_texts[*]}\": $layout"
menu_call Event "$open_id" clicked '<0>' 0 >/dev/null || fail "the menu refused the click on Open"
wait_for 100 main_window || fail "Open in the exported menu did not bring the window up"
step_shot 6-opened

# 7. Unplugged, the item shows the picture of a detached keyboard.
"$emu" unplug || fail "kestrune-emu unplug failed"
wait_for 100 item_icon_shows 128 ||
  fail "the item did not show the keyboard detached (tray128.png) after the unplug: $(item_icon_told)"

# 8.
kill_program
echo "PASS: item registered, title, tooltip, picture and menu shown, activation opens the window," \
     "secondary activation the profile menu, Open from the context menu and from the exported menu, picture follows the unplug, /Kill"
