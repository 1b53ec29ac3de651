"""Turns bench/run.sh's results.tsv into one Markdown table (absolute figures and ratios to quoxel)
and a gnuplot script for the PNG plot.

    report.py RESULTS.tsv OUTDIR    -> OUTDIR/table.md, OUTDIR/plot.gp, OUTDIR/*.dat
"""
import collections
import os
import sys

PROXIES = ["direct", "quoxel", "quoxel-before", "quoxel-noport", "microsocks", "danted", "tinyproxy"]

# (workload, metric, label, scale, unit, higher_is_better)
ROWS = [
    ("sessions_s5", "sessions_per_s", "SOCKS5 no auth, sessions/s", 1, "", True),
    ("sessions_s5", "p50_us", "SOCKS5 no auth, p50 latency", 1e-3, " ms", False),
    ("sessions_s5", "p99_us", "SOCKS5 no auth, p99 latency", 1e-3, " ms", False),
    ("sessions_s5", "cpu_us_per_session", "SOCKS5 no auth, proxy CPU per session", 1, " µs", False),
    ("sessions_s5auth", "sessions_per_s", "SOCKS5 user/pass, sessions/s", 1, "", True),
    ("sessions_s5auth", "p50_us", "SOCKS5 user/pass, p50 latency", 1e-3, " ms", False),
    ("sessions_s5auth", "p99_us", "SOCKS5 user/pass, p99 latency", 1e-3, " ms", False),
    ("sessions_s5auth", "cpu_us_per_session", "SOCKS5 user/pass, proxy CPU per session", 1, " µs", False),
    ("sessions_connect", "sessions_per_s", "HTTP CONNECT, sessions/s", 1, "", True),
    ("sessions_connect", "p50_us", "HTTP CONNECT, p50 latency", 1e-3, " ms", False),
    ("sessions_connect", "p99_us", "HTTP CONNECT, p99 latency", 1e-3, " ms", False),
    ("sessions_connect", "cpu_us_per_session", "HTTP CONNECT, proxy CPU per session", 1, " µs", False),
    ("sessions_get", "sessions_per_s", "HTTP GET, sessions/s", 1, "", True),
    ("sessions_get", "p50_us", "HTTP GET, p50 latency", 1e-3, " ms", False),
    ("sessions_get", "p99_us", "HTTP GET, p99 latency", 1e-3, " ms", False),
    ("sessions_get", "cpu_us_per_session", "HTTP GET, proxy CPU per session", 1, " µs", False),
    ("bulk_down_1", "total_MBps", "bulk one way, 1 session, MB/s", 1, "", True),
    ("bulk_down_1", "cpu_ms_per_MB", "  proxy CPU per MB", 1, " ms", False),
    ("bulk_down_8", "total_MBps", "bulk one way, 8 sessions, MB/s", 1, "", True),
    ("bulk_down_8", "cpu_ms_per_MB", "  proxy CPU per MB", 1, " ms", False),
    ("bulk_both_1", "total_MBps", "bulk both ways, 1 session, MB/s (sum)", 1, "", True),
    ("bulk_both_1", "down_MBps", "  of which origin to client", 1, "", True),
    ("bulk_both_1", "up_MBps", "  of which client to origin", 1, "", True),
    ("bulk_both_1", "cpu_ms_per_MB", "  proxy CPU per MB", 1, " ms", False),
    ("bulk_both_8", "total_MBps", "bulk both ways, 8 sessions, MB/s (sum)", 1, "", True),
    ("bulk_both_8", "down_MBps", "  of which origin to client", 1, "", True),
    ("bulk_both_8", "up_MBps", "  of which client to origin", 1, "", True),
    ("bulk_both_8", "cpu_ms_per_MB", "  proxy CPU per MB", 1, " ms", False),
    ("idle", "bytes_per_session", "idle relayed session, proxy RSS bytes", 1, "", False),
    ("idle", "established", "idle sessions held", 1, "", True),
    ("ratelimit_1", "down_MBps", "user limited to R, 1 session, MB/s over 10 s", 1, "", True),
    ("ratelimit_1", "rate_ratio", "  measured / R", 1, "", True),
    ("ratelimit_2", "down_MBps", "user limited to R, 2 sessions, MB/s over 10 s", 1, "", True),
    ("ratelimit_2", "rate_ratio", "  measured / R", 1, "", True),
    ("ratelimit_2", "busy_threads", "  proxy threads carrying them", 1, "", True),
]


def load(path):
    data = collections.defaultdict(dict)
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 4:
                continue
            proxy, workload, key, value = parts
            try:
                data[(proxy, workload)][key] = float(value)
            except ValueError:
                pass
    return data


def figure(value, scale, unit):
    v = value * scale
    text = f"{v:.2f}" if abs(v) < 10 else f"{v:,.0f}"
    return text + unit


def cell(data, proxy, workload, metric, scale, unit):
    rec = data.get((proxy, workload))
    if rec is None or metric not in rec:
        return "n/a"
    text = figure(rec[metric], scale, unit)
    if rec.get("errors", 0) or rec.get("stuck", 0):
        text += f" ({int(rec.get('errors', 0))} err)"
    if workload.startswith("bulk_") and "streaming" in rec:
        wanted = int(workload.rsplit("_", 1)[1])
        if rec["streaming"] < wanted:
            text += f" (only {int(rec['streaming'])}/{wanted} got through)"
    if proxy == "quoxel" or metric in ("established", "rate_ratio", "busy_threads"):
        return text
    q = data.get(("quoxel", workload), {}).get(metric)
    if q and rec[metric]:
        text += f" ({rec[metric] / q:.2f}×)"
    return text


def table(data):
    present = [p for p in PROXIES if any(k[0] == p for k in data)]
    lines = ["| workload | " + " | ".join(present) + " |",
             "|---|" + "---:|" * len(present)]
    for workload, metric, label, scale, unit, _ in ROWS:
        if not any((p, workload) in data for p in present):
            continue
        lines.append(f"| {label} | " +
                     " | ".join(cell(data, p, workload, metric, scale, unit) for p in present) + " |")
    lines.append("")
    lines.append("Ratios in brackets are the column's figure divided by quoxel's: for sessions/s and MB/s "
                 "a ratio below 1 means quoxel does more; for latency and bytes a ratio above 1 means "
                 "quoxel needs less.")
    return "\n".join(lines) + "\n", present


def dat(data, present, rows, path, scale=1.0):
    """One line per workload row, one column per proxy ('-' for missing), for a clustered histogram."""
    with open(path, "w") as f:
        for workload, metric, label in rows:
            vals = []
            for p in present:
                v = data.get((p, workload), {}).get(metric)
                vals.append("-" if v is None else f"{v * scale:.3f}")
            f.write(f'"{label}" ' + " ".join(vals) + "\n")


def plot(data, present, out):
    dat(data, present, [("sessions_s5", "sessions_per_s", "SOCKS5"),
                        ("sessions_s5auth", "sessions_per_s", "SOCKS5 u/p"),
                        ("sessions_connect", "sessions_per_s", "CONNECT"),
                        ("sessions_get", "sessions_per_s", "GET")], os.path.join(out, "sessions.dat"))
    dat(data, present, [("sessions_s5", "p99_us", "SOCKS5"),
                        ("sessions_s5auth", "p99_us", "SOCKS5 u/p"),
                        ("sessions_connect", "p99_us", "CONNECT"),
                        ("sessions_get", "p99_us", "GET")], os.path.join(out, "p99.dat"), 1e-3)
    dat(data, present, [("bulk_down_1", "total_MBps", "1 way x1"),
                        ("bulk_down_8", "total_MBps", "1 way x8"),
                        ("bulk_both_1", "total_MBps", "2 ways x1"),
                        ("bulk_both_8", "total_MBps", "2 ways x8")], os.path.join(out, "bulk.dat"))
    dat(data, present, [("idle", "bytes_per_session", "idle")], os.path.join(out, "idle.dat"), 1 / 1024)
    dat(data, present, [("bulk_down_1", "cpu_ms_per_MB", "1 way x1"),
                        ("bulk_down_8", "cpu_ms_per_MB", "1 way x8"),
                        ("bulk_both_1", "cpu_ms_per_MB", "2 ways x1"),
                        ("bulk_both_8", "cpu_ms_per_MB", "2 ways x8")], os.path.join(out, "cpumb.dat"))
    dat(data, present, [("sessions_s5", "cpu_us_per_session", "SOCKS5"),
                        ("sessions_s5auth", "cpu_us_per_session", "SOCKS5 u/p"),
                        ("sessions_connect", "cpu_us_per_session", "CONNECT"),
                        ("sessions_get", "cpu_us_per_session", "GET")], os.path.join(out, "cpusess.dat"))

    def panel(title, ylabel, f, log=False):
        series = ", ".join(f"'{f}' using {i + 2}:xtic(1) title '{p}'" for i, p in enumerate(present))
        return "\n".join([f"set title '{title}'", f"set ylabel '{ylabel}'",
                          "set logscale y; set yrange [*:*]" if log else "unset logscale y; set yrange [0:*]",
                          f"plot {series}"])

    script = "\n".join([
        "set terminal pngcairo size 1800,1000 font ',10'" if has_cairo() else "set terminal png size 1800,1000",
        "set output 'benchmarks.png'",
        "set style data histograms",
        "set style histogram clustered gap 1",
        "set style fill solid 0.85 border -1",
        "set key top right",
        "set grid ytics",
        "set multiplot layout 2,3 title 'quoxel and peer proxies on loopback (higher is better, except latency and memory)'",
        panel("sessions per second (connect, handshake, 64-byte echo, close)", "sessions/s", "sessions.dat"),
        panel("p99 session latency (log scale)", "ms", "p99.dat", log=True),
        panel("proxy CPU per session (utime + stime)", "µs", "cpusess.dat"),
        panel("bulk throughput", "MB/s", "bulk.dat"),
        panel("proxy CPU per MB moved (utime + stime)", "ms", "cpumb.dat"),
        panel("proxy RSS per idle relayed session (log scale)", "KiB", "idle.dat", log=True),
        "unset multiplot",
    ]) + "\n"
    with open(os.path.join(out, "plot.gp"), "w") as f:
        f.write(script)


def has_cairo():
    return os.system("gnuplot -e 'set terminal pngcairo' >/dev/null 2>&1") == 0


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    data = load(sys.argv[1])
    text, present = table(data)
    with open(os.path.join(sys.argv[2], "table.md"), "w") as f:
        f.write(text)
    plot(data, present, sys.argv[2])
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
