# Sourced by the scripts that need a display of their own.
#
#   start_private_x DIR   starts Xvfb and twm (configured by scripts/twmrc;
#                         run from the top folder), logs in DIR, and
#                         exports DISPLAY
#   background_pids       processes to end when the script exits: these two,
#                         and whatever the script adds

background_pids=()
stop_background() {
	local p
	for p in "${background_pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap stop_background EXIT

start_private_x() {
	local dir=$1
	Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp 4>"$dir/display" >"$dir/xvfb.log" 2>&1 &
	background_pids+=($!)
	for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
	[ -s "$dir/display" ] || { echo "Xvfb did not start; see $dir/xvfb.log" >&2; return 1; }
	export DISPLAY=":$(cat "$dir/display")"
	LANG=C LC_ALL=C twm -f scripts/twmrc >"$dir/twm.log" 2>&1 &
	background_pids+=($!)
	sleep 1
}
