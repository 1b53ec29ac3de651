#!/usr/bin/env bash
# Side-by-side benchmark of quoxel and the proxies users would otherwise run (microsocks, danted,
# tinyproxy), plus the direct connection as the limit, on loopback. Prints one table with absolute
# figures and ratios to quoxel and writes a PNG plot.
#
#   bench/run.sh [OUTDIR]          (default OUTDIR: build-bench/bench-results)
#
# Environment: SECS (seconds per measurement, default 5), CONC (concurrent clients of the
# sessions workload, default 50), IDLE (idle sessions, default 10000), QUOXEL_THREADS (default 4),
# ONLY (space-separated subset of: direct quoxel quoxel-before quoxel-noport microsocks danted
# tinyproxy), QUOXEL_EXTRA (lines for quoxel's [quoxel] section, e.g. "relay_buffer = 1500"),
# BEFORE_BIN (the quoxel binary measured as quoxel-before, e.g. a build of an older commit),
# RATE_LIMIT (bytes/s of the rate-limited user, default 10000000).
# quoxel-noport is quoxel with bench/bind_no_port.c preloaded (sessions workloads only): it shows
# what deferring the port choice of outgoing binds to connect() is worth. The ratelimit workloads
# (quoxel only) download as a user held to RATE_LIMIT, with one session and with two sessions
# that must run on different threads (repeated until they do).
#
# The CPU columns are the utime + stime of the proxy's whole process tree (from /proc) over the
# measurement window, per session or per MB moved.
#
# Every measurement runs in a network namespace of its own, with a fresh origin and a fresh proxy:
# sockets left in TIME_WAIT by one proxy's run cannot slow the next one down, and the order of
# the proxies does not matter.
set -euo pipefail
. "$(dirname "$0")/quoxel_config.sh"

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build-bench
LOADGEN=$BIN/loadgen
SECS=${SECS:-5}
CONC=${CONC:-50}
IDLE=${IDLE:-10000}
QUOXEL_THREADS=${QUOXEL_THREADS:-4}
ONLY=${ONLY:-direct quoxel microsocks danted tinyproxy}
BEFORE_BIN=${BEFORE_BIN:-}
USER_NAME=bench
USER_PASS=bench-pw
export SECS CONC IDLE QUOXEL_THREADS USER_NAME USER_PASS BEFORE_BIN

# Fixed ports below the ephemeral range (widened to 1024-65000 below): each namespace is ours alone.
P_ECHO=901 P_HTTP=902 P_SOURCE=903
P_PROXY=910 P_PROXY_AUTH=911

wait_port() {
    for _ in $(seq 1 100); do
        ss -Hltn "sport = :$1" | grep -q . && return 0
        sleep 0.1
    done
    echo "nothing listens on $1" >&2
    return 1
}

# Starts PROXY (plain instance on P_PROXY, and where it has one the user/password instance on
# P_PROXY_AUTH) in the current namespace; sets PROXY_PID to the plain instance.
start_proxy() {
    local proxy=$1 work=$2
    case $proxy in
    direct)
        PROXY_PID=$ORIGIN_PID
        return
        ;;
    quoxel | quoxel-noport | quoxel-before)
        quoxel_bench_config "$QUOXEL_THREADS" "${QUOXEL_EXTRA:-}" >"$work/quoxel.ini"
        local preload= bin=$BIN/quoxel
        [[ $proxy == quoxel-noport ]] && preload=$BIN/libbind_no_port.so
        [[ $proxy == quoxel-before ]] && bin=$BEFORE_BIN && sed -i '/^relay_buffer/d' "$work/quoxel.ini"
        LD_PRELOAD=$preload "$bin" -c "$work/quoxel.ini" >"$work/quoxel.log" 2>&1 &
        PROXY_PID=$!
        ;;
    microsocks)
        microsocks -i 127.0.0.1 -p $P_PROXY >"$work/microsocks.log" 2>&1 &
        PROXY_PID=$!
        microsocks -i 127.0.0.1 -p $P_PROXY_AUTH -u "$USER_NAME" -P "$USER_PASS" >"$work/microsocks-auth.log" 2>&1 &
        ;;
    danted)
        for variant in plain auth; do
            local port=$P_PROXY method=none
            [[ $variant == auth ]] && port=$P_PROXY_AUTH method=username
            cat >"$work/danted-$variant.conf" <<EOF
logoutput: $work/danted-$variant.out
internal: 127.0.0.1 port = $port
external: 127.0.0.1
clientmethod: none
socksmethod: $method
user.privileged: root
user.unprivileged: nobody
timeout.negotiate: 30
timeout.io: 0
client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
EOF
        done
        danted -f "$work/danted-auth.conf" >"$work/danted-auth.log" 2>&1 &
        danted -f "$work/danted-plain.conf" >"$work/danted.log" 2>&1 &
        PROXY_PID=$!
        ;;
    tinyproxy)
        cat >"$work/tinyproxy.conf" <<EOF
Port $P_PROXY
Listen 127.0.0.1
Timeout 600
MaxClients 20000
LogLevel Critical
LogFile "$work/tinyproxy.out"
PidFile "$work/tinyproxy.pid"
DisableViaHeader Yes
User nobody
Group nogroup
EOF
        chown nobody "$work"
        tinyproxy -d -c "$work/tinyproxy.conf" >"$work/tinyproxy.log" 2>&1 &
        PROXY_PID=$!
        ;;
    esac
    wait_port $P_PROXY
    if [[ $proxy == microsocks || $proxy == danted ]]; then wait_port $P_PROXY_AUTH; fi
}

# One measurement inside a fresh namespace: prints the generator's RESULT line.
one() {
    local proxy=$1 workload=$2
    ip link set lo up
    sysctl -qw net.ipv4.ip_local_port_range="1024 65000"
    sysctl -qw net.ipv4.tcp_tw_reuse=1
    sysctl -qw net.core.somaxconn=8192
    sysctl -qw net.ipv4.tcp_max_syn_backlog=8192
    ulimit -n 200000 2>/dev/null || ulimit -n "$(ulimit -Hn)"
    WORK=$(mktemp -d /tmp/quoxel-bench.XXXXXX)
    local work=$WORK
    chmod 755 "$work"
    trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
    # danted's username method reads the system's user files: give it a benchmark user in this
    # mount namespace only.
    cp /etc/passwd "$work/passwd"
    cp /etc/shadow "$work/shadow"
    echo "$USER_NAME:x:64000:64000::/nonexistent:/usr/sbin/nologin" >>"$work/passwd"
    echo "$USER_NAME:$(openssl passwd -6 "$USER_PASS"):19000:0:99999:7:::" >>"$work/shadow"
    mount --bind "$work/passwd" /etc/passwd
    mount --bind "$work/shadow" /etc/shadow

    "$LOADGEN" origin --echo $P_ECHO --http $P_HTTP --source $P_SOURCE >/dev/null &
    ORIGIN_PID=$!
    wait_port $P_SOURCE
    start_proxy "$proxy" "$work"

    local proto=s5 auth=s5auth connect=connect get=get port=$P_PROXY
    case $proxy in
    direct) proto=direct auth=direct connect=direct get=direct-get ;;
    tinyproxy) proto=connect ;;
    esac
    local args=(--proxy $P_PROXY --user "$USER_NAME" --pass "$USER_PASS")
    local cpu=() # the proxy's CPU over the window (the direct connection has no proxy)
    [[ $proxy != direct ]] && cpu=(--pid "$PROXY_PID")
    case $workload in
    sessions_s5) "$LOADGEN" sessions "${args[@]}" "${cpu[@]}" --proto $proto --target $P_ECHO --conc "$CONC" --secs "$SECS" ;;
    sessions_s5auth)
        local auth_pid=()
        [[ $proxy != direct ]] && auth_pid=(--pid "$(ss -Hltnp "sport = :$P_PROXY_AUTH" | grep -o 'pid=[0-9]*' | head -1 | cut -d= -f2)")
        "$LOADGEN" sessions --proxy $P_PROXY_AUTH --user "$USER_NAME" --pass "$USER_PASS" --proto $auth \
            "${auth_pid[@]}" --target $P_ECHO --conc "$CONC" --secs "$SECS"
        ;;
    ratelimit_*)
        # Two sessions must land on different threads: the busy_threads figure tells.
        local conc=${workload#ratelimit_} line
        for _ in 1 2 3 4 5 6; do
            line=$("$LOADGEN" bulk --proxy $P_PROXY_AUTH --user limited --pass limited-pw --proto s5auth \
                --pid "$PROXY_PID" --target $P_SOURCE --mode down --conc "$conc" --secs 10 | grep '^RESULT')
            ((conc == 1)) || [[ $line =~ busy_threads=([2-9]) ]] && break
        done
        echo "$line rate_ratio=$(awk -v l="$line" -v r="${RATE_LIMIT:-10000000}" 'BEGIN {
            match(l, /down_MBps=[0-9.]+/); printf "%.4f", substr(l, RSTART + 10, RLENGTH - 10) * 1e6 / r }')"
        ;;
    sessions_connect) "$LOADGEN" sessions "${args[@]}" "${cpu[@]}" --proto $connect --target $P_ECHO --conc "$CONC" --secs "$SECS" ;;
    sessions_get) "$LOADGEN" sessions "${args[@]}" "${cpu[@]}" --proto $get --target $P_HTTP --conc "$CONC" --secs "$SECS" ;;
    bulk_*)
        local mode=${workload#bulk_}
        "$LOADGEN" bulk "${args[@]}" "${cpu[@]}" --proto $proto --target $P_SOURCE --mode "${mode%_*}" --conc "${mode#*_}" \
            --secs "$SECS"
        ;;
    idle)
        # Each idle relayed session holds two descriptors in the proxy; where the hard limit
        # cannot be raised (no CAP_SYS_RESOURCE) the count shrinks to what fits.
        local count=$IDLE fits=$((($(ulimit -n) - 200) / 2))
        ((count > fits)) && count=$fits
        "$LOADGEN" idle "${args[@]}" --proto $proto --target $P_ECHO --count "$count" --pid "$PROXY_PID"
        ;;
    esac
}

if [[ "${1:-}" == --one ]]; then
    one "$2" "$3"
    exit
fi

OUT=${1:-$BIN/bench-results}
for pkg in microsocks:microsocks danted:dante-server tinyproxy:tinyproxy gnuplot:gnuplot-nox; do
    command -v "${pkg%%:*}" >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${pkg#*:}"
done
cmake -S "$ROOT" -B "$BIN" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOXEL_BENCH=ON >/dev/null
cmake --build "$BIN" --target quoxel loadgen bind_no_port -j2 >/dev/null
mkdir -p "$OUT"
RESULTS=$OUT/results.tsv
: >"$RESULTS"

supports() { # supports PROXY WORKLOAD
    case $1:$2 in
    microsocks:sessions_connect | microsocks:sessions_get | danted:sessions_connect | danted:sessions_get) return 1 ;;
    tinyproxy:sessions_s5 | tinyproxy:sessions_s5auth) return 1 ;;
    direct:idle) return 1 ;; # no proxy process to weigh
    quoxel-noport:sessions_*) return 0 ;;
    quoxel-noport:*) return 1 ;;
    quoxel:ratelimit_*) return 0 ;;
    *:ratelimit_*) return 1 ;;
    esac
}

WORKLOADS=${WORKLOADS:-sessions_s5 sessions_s5auth sessions_connect sessions_get bulk_down_1 bulk_down_8 bulk_both_1 bulk_both_8 idle ratelimit_1 ratelimit_2}
for proxy in $ONLY; do
    for w in $WORKLOADS; do
        supports "$proxy" "$w" || continue
        line=$(unshare --net --mount "$0" --one "$proxy" "$w" | grep '^RESULT' || true)
        if [[ -z "$line" ]]; then
            echo "$proxy $w: no result" >&2
            continue
        fi
        echo "$proxy $w: ${line#RESULT }"
        for kv in ${line#RESULT }; do
            printf '%s\t%s\t%s\t%s\n' "$proxy" "$w" "${kv%%=*}" "${kv#*=}" >>"$RESULTS"
        done
    done
done

/usr/bin/python3 "$ROOT/bench/report.py" "$RESULTS" "$OUT"
(cd "$OUT" && gnuplot plot.gp)
echo "table: $OUT/table.md  plot: $OUT/benchmarks.png"
