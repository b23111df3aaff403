#!/usr/bin/env bash
# The download step against its floor, over http or https from nginx on
# loopback: 500 files of 1 KiB to 4 MiB (1 GiB); the product folder holds an
# older copy of every other file (same size, other bytes), the rest is missing.
#   ours   FetchFileList, then DownloadQueuedFiles timed (under Wine)
#   floor  a bare loop of URLDownloadToFileA over the same URLs into the same
#          temporary file, nothing else (under Wine)
#   steps  DownloadFile replayed step by step over the same queue, each step
#          timed: what the time beyond the floor is spent on (digest: the
#          fetched file read back; replace: flushed, renamed in, renamed over
#          the old file; deletes; the local check is the read of a local file
#          the scan could not spare)
#   curl   the same URLs one after another in one process (information)
# ours and the floor run in one process, in BATCHES (default 10) batches of
# the queue that take turns, so both meet the same load from the other users
# of the machine; then steps and curl. ROUNDS rounds (default 3); the ratio is
# the median of the batches' ours/floor over all rounds.
# With "signed", the updater is a build with a publisher key and the release
# is signed with its release statement: every fetched file is then held to
# its SHA-256 as well as its MD5.
# download.sh BUILD_DIR [http|https] [signed]
set -euo pipefail
build=${1:?usage: bench/download.sh BUILD_DIR [http|https] [signed]}
scheme=${2:-http}
variant=${3:-}
rounds=${ROUNDS:-3}
batches=${BATCHES:-10}
source "$(dirname "$0")/lib/common.bash"
name=download
[ "$scheme" = https ] && name=download-https
driver=download_bench
[ "$variant" = signed ] && { name=$name-signed; driver=download_bench_signed; }
cmake --build "$build" --target $driver trust_ca >/dev/null
work=$(bench_workdir download-bench)
cleanup() {
  stop_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT

served=$work/root/update/1.3
mkdir -p "$served/data" "$served/comm" "$work/stale/data" "$work/product" "$work/curl"
port=$(free_port)
# Wine 8 refuses a certificate for an https URL naming 127.0.0.1, even with
# that address in its subjectAltName; the host name localhost passes.
host=127.0.0.1
[ "$scheme" = https ] && host=localhost
base=$scheme://$host:$port
total=0
: >"$work/curl.cfg"
# Sizes spread evenly from 1 KiB to 4 MiB, fixed by index.
for i in $(seq 0 499); do
  bytes=$((1024 + (i * 8405) % (4 * 1024 * 1024 - 1024)))
  [ "$i" -eq 499 ] && bytes=$((4 * 1024 * 1024))
  file=$(printf 'data/f%03d.bin' "$i")
  head -c "$bytes" /dev/urandom >"$served/$file"
  [ $((i % 2)) -eq 0 ] && head -c "$bytes" /dev/urandom >"$work/stale/$file"
  total=$((total + bytes))
  digest=$(md5sum "$served/$file" | awk '{print toupper($1)}')
  printf '%s=%s=%s\r\n' "$file" "$digest" "$bytes" >>"$served/comm/file.lst"
  [ "$variant" = signed ] &&
    printf '%s=%s\r\n' "$file" "$(sha256sum <"$served/$file" | cut -c1-64)" >>"$served/comm/file.sha256"
  printf 'url = "%s/update/1.3/%s"\noutput = "%s"\n' "$base" "$file" "$work/curl/f$i.bin" \
    >>"$work/curl.cfg"
done
if [ "$variant" = signed ]; then
  key=$(dirname "$0")/../tests/app/release_test_key.pem
  sha() { sha256sum <"$1" | cut -c1-64; }
  printf 'version=1.30.0\r\nlastVer=130\r\nlist-sha256=%s\r\nfiles-sha256=%s\r\nmain-sha256=%s\r\nissued=%s\r\nexpires=never\r\nrollback=0\r\n' \
    "$(sha "$served/comm/file.lst")" "$(sha "$served/comm/file.sha256")" "$(sha /dev/null)" \
    "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$served/comm/release.txt"
  for f in file.lst release.txt; do
    openssl dgst -sha256 -sign "$key" -out "$served/comm/$f.sig" "$served/comm/$f"
  done
fi
cp "$build/bin/$driver.exe" "$work/product/download_bench.exe"

curl_tls=()
tls=""
if [ "$scheme" = https ]; then
  make_tls "$work"
  curl_tls=(--cacert "$work/ca.pem")
  tls="ssl; ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key"
fi

start_nginx "$work" "
  access_log off;
  server { listen 127.0.0.1:$port ${tls:-}; root $work/root; }"

run() { "$build/wine-run" "$work/product/download_bench.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
reset_product() {
  rm -rf "$work/product/data" "$work/product/comm"
  cp -r "$work/stale/data" "$work/product/data"
  hand_over "$work/product"
}

ours=() floor=() curl=() ratios=()
local_check=() fetch=() digest=() replace=() deletes=() replayed=()
for round in $(seq 1 "$rounds"); do
  reset_product
  out=$(run pair "$base" "$batches")
  ours+=("$(value ours "$out")")
  floor+=("$(value floor "$out")")
  round_ratios=($(awk '$1 == "batch" {printf "%.3f\n", $2 / $3}' <<<"$out"))
  ratios+=("${round_ratios[@]}")
  queued=$(value queued "$out")
  scan=$(value scan_seconds "$out")
  floor_failed=$(value floor_failed "$out")
  mismatching=$( (cd "$served" && md5sum data/*.bin) |
                 (cd "$work/product" && md5sum -c --quiet 2>/dev/null) | wc -l)

  reset_product
  out=$(run steps "$base")
  for step in local_check fetch digest replace deletes; do
    eval "$step+=(\"\$(value $step \"\$out\")\")"
  done
  replayed+=("$(value seconds "$out")")

  rm -f "$work/curl"/*
  start=$(now)
  curl -s --fail "${curl_tls[@]}" -K "$work/curl.cfg"
  curl+=("$(seconds_since "$start")")
  echo "$name round $round: DownloadQueuedFiles ${ours[-1]} s, floor ${floor[-1]} s," \
    "median batch ratio $(median "${round_ratios[@]}"); replayed steps ${replayed[-1]} s," \
    "curl ${curl[-1]} s"
done

m() { median "$@"; }
share() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%5.1f%%", 100 * a / b}'; }
steps_total=$(m "${replayed[@]}")
echo "$name $scheme from nginx on loopback: 500 files, $total bytes; queued: $queued (500 expected)," \
  "mismatching after our run: $mismatching, failed floor fetches: $floor_failed (0 expected)"
echo "$name $rounds rounds, ours and floor interleaved in $batches batches; median (min) seconds:"
echo "$name   DownloadQueuedFiles (under Wine): $(m "${ours[@]}") ($(minimum "${ours[@]}"))"
echo "$name   floor, bare URLDownloadToFileA:   $(m "${floor[@]}") ($(minimum "${floor[@]}"))"
echo "$name   curl:                             $(m "${curl[@]}") ($(minimum "${curl[@]}"))"
echo "$name   what ours adds to the floor:      $(awk -v a="$(m "${ours[@]}")" -v b="$(m "${floor[@]}")" 'BEGIN {printf "%.3f", a - b}')"
echo "$name   FetchFileList before it (not in the ratio): $scan s"
# The shares of ours: the fetch as the floor measured beside it, the other
# steps as replayed, and what is left (the watch on the transfer, the stall
# timer and COM of each fetch, status texts).
ours_median=$(m "${ours[@]}")
rest=$(m "${floor[@]}")
echo "$name shares of DownloadQueuedFiles ($ours_median s); fetch = the floor, the other steps replayed:"
printf '%s   %-12s %7s s %s\n' "$name" fetch "$(m "${floor[@]}")" "$(share "$(m "${floor[@]}")" "$ours_median")"
for step in digest replace deletes local_check; do
  eval "values=(\"\${$step[@]}\")"
  value=$(m "${values[@]}")
  rest=$(awk -v a="$rest" -v b="$value" 'BEGIN {printf "%.3f", a + b}')
  printf '%s   %-12s %7s s %s\n' "$name" "${step//_/-}" "$value" "$(share "$value" "$ours_median")"
done
rest=$(awk -v a="$ours_median" -v b="$rest" 'BEGIN {printf "%.3f", a - b}')
printf '%s   %-12s %7s s %s\n' "$name" rest "$rest" "$(share "$rest" "$ours_median")"
echo "$name   (replayed fetch, bare as the floor: $(m "${fetch[@]}") s of $steps_total s replayed)"
echo "$name ours/curl (information): $(ratio "$(m "${ours[@]}")" "$(m "${curl[@]}")")"
echo "RESULT $name-floor ratio=$(round2 "$(m "${ratios[@]}")") target=1.3"
