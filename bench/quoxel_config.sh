# The quoxel configuration of the benchmarks: one port without authentication (SOCKS5 and HTTP,
# $P_PROXY) and one SOCKS5 port with local users ($P_PROXY_AUTH): the benchmark user, and
# "limited" held to RATE_LIMIT bytes/s each way (default 10 MB/s). Sourced by run.sh and
# profile.sh; prints the INI text. Arguments: thread count, extra lines for the [quoxel] section.
quoxel_bench_config() {
    cat <<EOF
[kni]
thread_num = $1
[quoxel]
ros_id = 1
reply_timeout = 600000
# The origin runs on loopback, which authenticated ports refuse by default.
allow_local_ip = 1
$2
[auth0]
type = local
user1 = ${USER_NAME:-bench}:${USER_PASS:-bench-pw}
user2 = limited:limited-pw
rate_limit2 = ${RATE_LIMIT:-10000000}
[port0]
addr = 127.0.0.1
port_start = $P_PROXY
port_end = $P_PROXY
allow_udp = 0
listen_protocol = auto
auth = -1
[port1]
addr = 127.0.0.1
port_start = $P_PROXY_AUTH
port_end = $P_PROXY_AUTH
allow_udp = 0
listen_protocol = socks5
auth = 0
EOF
}
