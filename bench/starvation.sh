#!/usr/bin/env bash
# Does one fast stream hold up the other sessions of its thread? Measures SOCKS5 sessions through
# quoxel alone, then beside one endless download, in a network namespace of its own.
#
#   bench/starvation.sh [PROXY_CMD...]     (default: build-bench/quoxel with 4 threads)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build-bench
if [[ "${STARVE_IN_NS:-}" != 1 ]]; then
    cmake --build "$BIN" --target quoxel loadgen -j2 >/dev/null
    exec env STARVE_IN_NS=1 unshare --net "$0" "$@"
fi
ip link set lo up
WORK=$(mktemp -d /tmp/quoxel-starve.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
cat >"$WORK/q.ini" <<EOF
[kni]
thread_num = 4
[quoxel]
ros_id = 1
[port0]
addr = 127.0.0.1
port_start = 910
port_end = 910
allow_udp = 0
listen_protocol = socks5
auth = -1
EOF
"$BIN/loadgen" origin --echo 901 --source 903 >/dev/null &
if (($#)); then "$@" >/dev/null 2>&1 & else "$BIN/quoxel" -c "$WORK/q.ini" >/dev/null 2>&1 & fi
sleep 1
echo "alone:        $("$BIN/loadgen" sessions --proxy 910 --proto s5 --target 901 --conc 4 --secs 3)"
"$BIN/loadgen" bulk --proxy 910 --proto s5 --target 903 --mode down --conc 1 --secs 8 >"$WORK/bulk" &
BULK=$!
sleep 2
echo "beside bulk:  $("$BIN/loadgen" sessions --proxy 910 --proto s5 --target 901 --conc 4 --secs 3)"
wait $BULK
echo "the download: $(cat "$WORK/bulk")"
