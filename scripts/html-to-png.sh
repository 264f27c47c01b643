#!/bin/sh
# Renders a page, such as skelv-check's visual report, to a PNG with headless Chromium:
#   scripts/html-to-png.sh PAGE.html OUT.png [WIDTH [HEIGHT]]
# The picture shows the top WIDTH x HEIGHT CSS pixels of the page (default 1000 x 2400).
# Exit codes: 0 written, 1 wrong command line or no Chromium, 2 Chromium failed.
set -eu

if [ $# -lt 2 ] || [ $# -gt 4 ]; then
  echo "usage: $0 PAGE.html OUT.png [WIDTH [HEIGHT]]" >&2
  exit 1
fi
if [ ! -f "$1" ]; then
  echo "no such page: $1" >&2
  exit 1
fi
page=$(realpath "$1")
out=$(realpath -m "$2")
width=${3:-1000}
height=${4:-2400}
chromium=${CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "$chromium not found: install the Debian package chromium (make deps)" >&2
  exit 1
fi

# A fresh profile each time, so that no earlier state or extension changes the picture.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -f "$out"
if ! timeout 60 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --hide-scrollbars \
    --user-data-dir="$scratch/profile" --window-size="$width,$height" --screenshot="$out" "$page" \
    > "$scratch/log" 2>&1 || [ ! -s "$out" ]; then
  # Chromium's complaints about the missing desktop bus are noise here.
  grep -v dbus "$scratch/log" | tail -n 20 >&2
  echo "Chromium could not render $page" >&2
  exit 2
fi
