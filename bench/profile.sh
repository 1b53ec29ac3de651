#!/usr/bin/env bash
# Profiles quoxel under one workload of the load generator, in a network namespace of its own.
#
#   bench/profile.sh TOOL WORKLOAD [SECS] [CONC]
#
# TOOL: syscalls (strace -c -f: system calls per session or per megabyte),
#       callgrind (valgrind: user-space instructions per session or per megabyte, by function),
#       perf (perf record -e cpu-clock -g: where the time goes, kernel included).
# WORKLOAD: s5 s5auth connect get (sessions), down1 down8 both1 both8 (bulk).
# Output goes to build-bench/profile-TOOL-WORKLOAD.*; a summary is printed. PRELOAD (perf only)
# preloads a library into quoxel, e.g. build-bench/libbind_no_port.so; QUOXEL_EXTRA adds lines
# to the [quoxel] section.
set -euo pipefail
. "$(dirname "$0")/quoxel_config.sh"

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build-bench
TOOL=$1 WORKLOAD=$2 SECS=${3:-3} CONC=${4:-20}
OUT=$BIN/profile-$TOOL-$WORKLOAD
P_ECHO=901 P_HTTP=902 P_SOURCE=903 P_PROXY=910 P_PROXY_AUTH=911

if [[ "${PROFILE_IN_NS:-}" != 1 ]]; then
    cmake -S "$ROOT" -B "$BIN" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOXEL_BENCH=ON >/dev/null
    cmake --build "$BIN" --target quoxel loadgen -j2 >/dev/null
    exec env PROFILE_IN_NS=1 unshare --net "$0" "$@"
fi

ip link set lo up
sysctl -qw net.ipv4.ip_local_port_range="1024 65000"
sysctl -qw net.ipv4.tcp_tw_reuse=1
WORK=$(mktemp -d /tmp/quoxel-profile.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT

quoxel_bench_config "${QUOXEL_THREADS:-4}" "${QUOXEL_EXTRA:-}" >"$WORK/quoxel.ini"

"$BIN/loadgen" origin --echo $P_ECHO --http $P_HTTP --source $P_SOURCE >/dev/null &
case $TOOL in
syscalls) strace -f -c -o "$OUT.strace" ${STRACE_ARGS:-} "$BIN/quoxel" -c "$WORK/quoxel.ini" >/dev/null 2>&1 & ;;
callgrind)
    valgrind --tool=callgrind --callgrind-out-file="$OUT.callgrind" "$BIN/quoxel" -c "$WORK/quoxel.ini" \
        >/dev/null 2>"$OUT.valgrind.log" &
    ;;
perf) LD_PRELOAD=${PRELOAD:-} "$BIN/quoxel" -c "$WORK/quoxel.ini" >/dev/null 2>&1 & ;;
*)
    echo "unknown tool $TOOL" >&2
    exit 2
    ;;
esac
QPID=$!
for _ in $(seq 1 300); do
    ss -Hltn "sport = :$P_PROXY_AUTH" | grep -q . && break
    sleep 0.1
done
# Count the load only, not the start-up.
if [[ $TOOL == callgrind ]]; then callgrind_control -z "$QPID" >/dev/null 2>&1 || true; fi
if [[ $TOOL == perf ]]; then
    perf record -q -e cpu-clock -g -p "$QPID" -o "$OUT.perf" -- sleep $((SECS + 1)) >/dev/null 2>&1 &
fi

LG=("$BIN/loadgen")
case $WORKLOAD in
s5) LG+=(sessions --proxy $P_PROXY --proto s5 --target $P_ECHO) ;;
s5auth) LG+=(sessions --proxy $P_PROXY_AUTH --proto s5auth --user bench --pass bench-pw --target $P_ECHO) ;;
connect) LG+=(sessions --proxy $P_PROXY --proto connect --target $P_ECHO) ;;
get) LG+=(sessions --proxy $P_PROXY --proto get --target $P_HTTP) ;;
down1 | down8 | both1 | both8)
    CONC=${WORKLOAD: -1}
    LG+=(bulk --proxy $P_PROXY --proto s5 --target $P_SOURCE --mode "${WORKLOAD%?}")
    ;;
esac
RESULT=$("${LG[@]}" --conc "$CONC" --secs "$SECS" | grep '^RESULT')
echo "$RESULT"
sleep 0.5
case $TOOL in
callgrind) callgrind_control -d "$QPID" >/dev/null 2>&1 || true ;;
perf) wait %3 2>/dev/null || sleep $((SECS + 2)) ;;
esac
# strace waits for its child and ignores termination signals itself: end quoxel, not the tracer.
if [[ $TOOL == syscalls ]]; then kill $(pgrep -P "$QPID") 2>/dev/null || true; fi
kill "$QPID" 2>/dev/null || true
wait "$QPID" 2>/dev/null || true

# Per-unit divisor: sessions of the whole run, or megabytes moved.
UNIT=$(sed -n 's/.* total=\([0-9]*\).*/\1 session/p; s/.* all_bytes=\([0-9]*\).*/\1 byte/p' <<<"$RESULT")
COUNT=${UNIT% *}
case $TOOL in
syscalls)
    echo "system calls of quoxel (all threads) per ${UNIT#* } (per MB for bulk):"
    awk -v n="$COUNT" -v unit="${UNIT#* }" '
        $1 ~ /^[0-9.]+$/ && NF >= 5 { calls = $4; name = $NF
            per = unit == "byte" ? calls / (n / 1e6) : calls / n
            if (per >= 0.01) printf "  %-16s %10.2f\n", name, per }
        $1 == "total" { t = $3; printf "  %-16s %10.2f\n", "total", unit == "byte" ? t / (n / 1e6) : t / n }' \
        "$OUT.strace"
    ;;
callgrind)
    f=$OUT.callgrind.1 # the dump taken right after the load
    total=$(callgrind_annotate "$f" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
    echo "user-space instructions of quoxel: $total, per ${UNIT#* }: $(awk -v t="$total" -v n="$COUNT" -v u="${UNIT#* }" \
        'BEGIN { printf "%.0f", u == "byte" ? t / (n / 1e6) : t / n }') (per MB for bulk)"
    callgrind_annotate --inclusive=no "$f" 2>/dev/null | sed -n '/file:function/,$p' | head -30
    ;;
perf)
    perf report -i "$OUT.perf" --no-children --stdio --sort symbol 2>/dev/null | grep -E '^ +[0-9]' | head -30
    ;;
esac
