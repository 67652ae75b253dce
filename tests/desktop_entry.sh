#!/bin/sh
# The desktop entry is valid by desktop-file-validate, and the icons made
# at build time are PNG pictures of the size their folders name.
# usage: desktop_entry.sh ENTRY ICONS_DIR
set -eu
entry=$1 icons=$2
desktop-file-validate "$entry"
grep -qx 'Icon=boxwarden' "$entry"
for size in 48 96; do
	png=$icons/$size/boxwarden.png
	# The signature, then IHDR's width and height, big-endian.
	[ "$(od -An -tx1 -N8 "$png" | tr -d ' \n')" = 89504e470d0a1a0a ] || { echo "$png: no PNG" >&2; exit 1; }
	set -- $(od -An -tu1 -j16 -N8 "$png")
	width=$(($1 << 24 | $2 << 16 | $3 << 8 | $4)) height=$(($5 << 24 | $6 << 16 | $7 << 8 | $8))
	[ "$width" = "$size" ] && [ "$height" = "$size" ] || { echo "$png: ${width}x$height" >&2; exit 1; }
done
echo "desktop entry valid; icons 48x48 and 96x96"
