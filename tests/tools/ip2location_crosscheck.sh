#!/bin/sh
# Cross-checks our IP2Location reader and BIN writer against an independent reader, the npm
# package ip2location-nodejs: both look up the same addresses (every range boundary) in databases
# written with and without an index. Skips (exit 0) when Node.js or the package is unavailable.
# Not part of ctest. Usage: tests/tools/ip2location_crosscheck.sh BUILD_DIR
set -eu
tool="${1:?build directory}/ip2location_tool"
command -v node >/dev/null && command -v npm >/dev/null || { echo "skipped: no node/npm"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
npm install --silent --prefix "$work" ip2location-nodejs >/dev/null 2>&1 ||
    { echo "skipped: ip2location-nodejs not installable"; exit 0; }
cat > "$work/ranges" <<RANGES
0.0.0.0 -
1.0.0.0 AU
1.0.1.0 CN
1.0.4.0 AU
1.2.255.255 C
1.3.0.0 CN
8.8.8.8 US
8.8.8.9 DE
200.1.0.0 BR
255.255.0.0 ZZ
RANGES
addrs=$(awk '{ split($1, o, "."); n = ((o[1] * 256 + o[2]) * 256 + o[3]) * 256 + o[4];
               for (d = -1; d <= 1; d++) { m = n + d; if (m < 0 || m > 4294967295) continue;
                 printf "%d.%d.%d.%d\n", int(m / 16777216), int(m / 65536) % 256,
                        int(m / 256) % 256, m % 256 } }' "$work/ranges" | sort -u)
addrs="$addrs 255.255.255.255 100.64.3.2 1.2.3.4"
status=0
for index in "" index; do
    "$tool" write "$work/db.bin" $index < "$work/ranges"
    "$tool" lookup "$work/db.bin" $addrs > "$work/ours"
    NODE_PATH="$work/node_modules" node -e '
        const { IP2Location } = require("ip2location-nodejs");
        const db = new IP2Location();
        db.open(process.argv[1]);
        for (const a of process.argv.slice(2)) console.log(a + " " + db.getCountryShort(a));
        db.close();' "$work/db.bin" $addrs > "$work/theirs"
    if [ -z "$index" ] && ! grep -qv INVALID_IP_ADDRESS "$work/theirs"; then
        # The package answers nothing for files without an IPv4 index; ours must then agree
        # with its own indexed answers (compared on the next round).
        cp "$work/ours" "$work/unindexed"
        echo "not comparable: the package reads no file without an index"
        continue
    fi
    if [ -f "$work/unindexed" ] && ! diff "$work/unindexed" "$work/ours"; then status=1; fi
    if diff "$work/ours" "$work/theirs"; then
        echo "agree${index:+ (index)}: $(wc -l < "$work/ours") addresses"
    else
        status=1
    fi
done
exit $status
