#!/bin/sh
# Cross-checks our IP2Location writer and reader against an independent reader, the npm package
# ip2location-nodejs, at every range boundary of one database. The package reads only files with
# an IPv4 index; our answers without the index must equal those with it. Skips (exit 0) without
# Node.js or the package. Not part of ctest. Usage: tests/tools/ip2location_crosscheck.sh BUILD
set -eu
tool="${1:?build directory}/ip2location_tool"
command -v npm >/dev/null || { echo "skipped: no node/npm"; exit 0; }
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
npm install --silent --prefix "$w" ip2location-nodejs >/dev/null 2>&1 ||
    { echo "skipped: ip2location-nodejs not installable"; exit 0; }
printf '%s\n' '0.0.0.0 -' '1.0.0.0 AU' '1.0.1.0 CN' '1.0.4.0 AU' '1.2.255.255 C' '1.3.0.0 CN' \
    '8.8.8.8 US' '8.8.8.9 DE' '200.1.0.0 BR' '255.255.0.0 ZZ' > "$w/ranges"
addrs=$(awk '{ split($1, o, "."); n = ((o[1] * 256 + o[2]) * 256 + o[3]) * 256 + o[4];
               for (m = n - 1; m <= n + 1; m++) if (m >= 0) printf "%d.%d.%d.%d\n",
                   int(m / 16777216), int(m / 65536) % 256, int(m / 256) % 256, m % 256 }' \
        "$w/ranges" | sort -u)
addrs="$addrs 255.255.255.255 100.64.3.2"
"$tool" write "$w/plain.bin" < "$w/ranges"
"$tool" write "$w/index.bin" index < "$w/ranges"
"$tool" lookup "$w/plain.bin" $addrs > "$w/plain"
"$tool" lookup "$w/index.bin" $addrs > "$w/ours"
NODE_PATH="$w/node_modules" node -e '
    const { IP2Location } = require("ip2location-nodejs");
    const db = new IP2Location();
    db.open(process.argv[1]);
    for (const a of process.argv.slice(2)) console.log(a + " " + db.getCountryShort(a));
    db.close();' "$w/index.bin" $addrs > "$w/theirs"
diff "$w/plain" "$w/ours" && diff "$w/ours" "$w/theirs"
echo "agree: $(wc -l < "$w/ours") addresses"
