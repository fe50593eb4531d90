#!/bin/sh
# Peak RSS of smtpZef sending a 1 MB and a 100 MB attachment (base64, in pieces through
# MimeBody) with the real components to a local sink that discards the data.
#
#   bench/smtp/smtp_memory.sh [BUILD_DIR]
#
# BUILD_DIR (default build/bench) is configured with -DZEF_BUILD_BENCH=ON if needed, and only
# the smtp_rss target is built. Flat memory shows as nearly the same peak for both sizes.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/bench}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEF_BUILD_BENCH=ON \
        -DZEF_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target smtp_rss >/dev/null

portfile=$(mktemp)
/usr/bin/python3 "$root/bench/smtp/sink.py" "$portfile" &
sink=$!
trap 'kill $sink 2>/dev/null; rm -f "$portfile"' EXIT
for _ in $(seq 50); do
    [ -s "$portfile" ] && break
    sleep 0.1
done
port=$(cat "$portfile")

for megabytes in 1 100; do
    "$build/bench/smtp/smtp_rss" "$port" "$megabytes"
done
