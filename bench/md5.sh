#!/usr/bin/env bash
# Md5Hex over 256 MiB against OpenSSL's MD5 on 16 KiB blocks, same run.
set -euo pipefail
build=${1:?usage: bench/md5.sh BUILD_DIR}
cmake --build "$build" --target md5_bench >/dev/null

ours=$("$build/wine-run" "$build/bin/md5_bench.exe" </dev/null 2>/dev/null | tr -d '\r' |
       awk '/^ours_mb_per_s/ {print $2}')
# openssl speed prints the rate in 1000s of bytes per second on its last line.
theirs=$(openssl speed -evp md5 -bytes 16384 -seconds 3 2>/dev/null |
         awk '$1 == "md5" {v = $NF} END {sub(/k$/, "", v); printf "%.1f", v / 1000}')
echo "md5 ours:    $ours MB/s (Md5Hex, 256 MiB buffer, under Wine)"
echo "md5 openssl: $theirs MB/s (openssl speed -evp md5 -bytes 16384)"
ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "%.2f", a / b}')
echo "RESULT md5 ratio=$ratio target=0.90"
