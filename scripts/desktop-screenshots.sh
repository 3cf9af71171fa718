#!/usr/bin/env bash
# Takes the README's pictures of the desktop front end: the main window and
# the tray icon with its menu, from the built program on a desktop of its own
# (Xvfb with openbox and trayer), into docs/.
#   scripts/desktop-screenshots.sh [build-dir]
# Needs xvfb, openbox, trayer, xdotool and imagemagick (scripts/install-deps.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=$here/docs
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The program in a directory of its own, with settings a user would make.
mkdir -p "$work/prog" "$work/run"
chmod 700 "$work/run"
cp "$build"/{postvane,libpv_qt.so,tray0.png,tray1.png,logo.png} "$work/prog/"
printf '[SETUP]\r\nHost=mail.example.org\r\nFrom=postvane@example.org\r\nTo=admin@example.org\r\nCc=\r\nBcc=\r\nSubject=Files from the outbox\r\nPollDir=/srv/outbox/\r\nFileSelection=*.txt;*.csv\r\nCharset=iso-8859-1\r\nBackup=1\r\nDelete=1\r\n' \
    >"$work/prog/postvane.ini"
printf 'The files of the outbox are attached.\r\n' >"$work/prog/body.txt"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 150); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$work/display")
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
pids+=($!)
sleep 1
(cd "$work/prog" && env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY -u SESSION_MANAGER \
    QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/run" ./postvane >/dev/null 2>&1) &
pids+=($!)
sleep 5 # the splash closes after three seconds

# The icon: the outline of its grey frame, in trayer's strip along the top.
read -r ix iy < <(import -window root -crop 1024x30+0+0 -depth 8 txt:- |
    awk -F'[,:]' '/#404040/ { if (!n++) { l = r = $1; t = b = $2 }
                              if ($1 < l) l = $1; if ($1 > r) r = $1
                              if ($2 < t) t = $2; if ($2 > b) b = $2 }
        END { if (n) print int((l + r) / 2), int((t + b) / 2) }')
[[ -n ${ix:-} ]] || { echo "desktop-screenshots: no icon in the tray" >&2; exit 1; }
# The icon alone, then with its menu open (over it).
import -window root -crop "64x28+$((ix - 40))+0" +repage "$work/icon.png"
xdotool mousemove "$ix" "$iy" sleep 0.2 click 3 sleep 0.8
import -window root -crop "240x140+784+0" +repage "$work/menu.png"
xdotool key Escape sleep 0.3
convert \( "$work/icon.png" -scale 300% \) \( "$work/menu.png" -scale 200% \) -background black \
    +append "$out/screenshot-tray.png"

xdotool mousemove "$ix" "$iy" sleep 0.2 click --repeat 2 --delay 80 1 sleep 1
window=$(xdotool search --sync --onlyvisible --name '^Postvane Freeware 1.4.6$' | head -1)
xdotool mousemove 0 767 sleep 0.5
import -frame -window "$window" "$out/screenshot-main.png"
echo "desktop-screenshots: $out/screenshot-main.png and $out/screenshot-tray.png"
