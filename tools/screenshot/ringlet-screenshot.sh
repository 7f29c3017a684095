#!/bin/sh
# Takes a picture of the ringlet window in demo mode under a virtual X server: starts the
# program with --demo, lets the simulated modem play calls for a while, presses Start, grabs
# the screen with ImageMagick's import and closes the program. Needs xvfb-run, xdotool and
# ImageMagick. The calls go to a history of the script's own; with EARLIER_SECONDS the console
# front end first plays calls into it for that long, so the window opens with earlier calls.
#
# Usage: ringlet-screenshot.sh BUILD_DIR OUTPUT.png [SECONDS [EARLIER_SECONDS]]
set -eu
build=${1:?build folder}
out=${2:?output png}
wait_s=${3:-40}
earlier_s=${4:-0}
work=$(mktemp -d /tmp/ringlet-shot-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build/app/ringlet" "$work/ringlet"
# A copy of the program does not look in the build tree by itself: point it at the library.
export RINGLET_LIBRARY_PATH="$build/telephony"
export RINGLET_FAKEMODEM="$build/tools/fakemodem/fakemodem"
export RINGLET_REGISTRY_FILE="$work/registry"
history="$work/calls.sqlite"
if [ "$earlier_s" -gt 0 ]; then
  timeout -s TERM "$earlier_s" "$work/ringlet" --console --demo --history-file "$history" >/dev/null || true
fi

cat > "$work/inner.sh" <<INNER
#!/bin/sh
"$work/ringlet" --demo --history-file "$history" &
pid=\$!
sleep 3
# The window is centred on the 1024x768 screen: Start is at its (648, 8) plus the offset.
xdotool mousemove \$(( (1024 - 729) / 2 + 680 )) \$(( (768 - 418) / 2 + 20 )) click 1 2>/dev/null || true
sleep $wait_s
import -window root "$out"
kill -TERM \$pid
wait \$pid || true
INNER
chmod +x "$work/inner.sh"
xvfb-run -a -s "-screen 0 1024x768x24" "$work/inner.sh"
echo "$out"
