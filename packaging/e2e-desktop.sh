#!/usr/bin/env bash
# End to end on a real X display (Xvfb) with a throwaway HOME: installs the desktop entry,
# registers the "corvale" URL scheme, starts Corvale, runs the file-manager extension on a file
# the way Files (Nautilus) does (a relative name in the file's folder), and checks that the
# running Corvale received the file and opened the open panel of the headless sync.
# Usage: packaging/e2e-desktop.sh [BUILD_DIR]   (needs xvfb, xdg-utils, x11-utils, ffmpeg)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
corvale=$build/src/app/corvale
extension=$build/src/finder-extension/corvale-file-manager-extension

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_RUNTIME_DIR=$work/run
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID WAYLAND_DISPLAY
mkdir -p "$XDG_DATA_HOME/applications" "$XDG_CONFIG_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display") QT_QPA_PLATFORM=xcb

# The desktop entry, pointing at this build, as the URL scheme's handler.
sed "s|^Exec=corvale |Exec=$corvale |" "$root/packaging/corvale.desktop" \
    >"$XDG_DATA_HOME/applications/corvale.desktop"
update-desktop-database "$XDG_DATA_HOME/applications"
xdg-mime default corvale.desktop x-scheme-handler/corvale
[ "$(xdg-mime query default x-scheme-handler/corvale)" = corvale.desktop ]
echo "scheme registered: x-scheme-handler/corvale -> corvale.desktop"

name='Call #1 & 100%41.wav'
mkdir "$work/Podcast"
ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=2 "$work/Podcast/$name"

windows() { xwininfo -root -tree 2>/dev/null; }
wait_for() {
    for _ in $(seq 150); do windows | grep -qF -- "$1" && return 0; sleep 0.1; done
    echo "no window showing: $1" >&2
    return 1
}

"$corvale" &
pids+=($!)
wait_for '"Corvale"'
echo "Corvale is running"

(cd "$work/Podcast" && "$extension" "$name" "second file.wav")
wait_for "Choose files to sync to \"$name\""
echo "the running Corvale received \"$name\" and asks for the files to sync"
# The start that xdg-open made handed the URL over and ended; only the first Corvale runs.
for _ in $(seq 50); do pgrep -f "^$corvale corvale://" >/dev/null || break; sleep 0.1; done
! pgrep -f "^$corvale corvale://" >/dev/null
[ "$(pgrep -fc "^$corvale\$")" = 1 ]
[ "$(stat -c %a "$XDG_RUNTIME_DIR/corvale.socket")" = 700 ]
echo "handed over through the private socket $XDG_RUNTIME_DIR/corvale.socket"
