#!/usr/bin/env bash
# DownloadQueuedFiles over 500 files of 1 KiB to 4 MiB from a loopback server
# against curl fetching the same URLs one after another in one process.
set -euo pipefail
build=${1:?usage: bench/download.sh BUILD_DIR}
cmake --build "$build" --target bench_http_server download_bench >/dev/null

work=$(mktemp -d /tmp/download-bench.XXXXXX)
server_pid=""
cleanup() {
  touch "$work/stop"
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
win() { printf 'Z:%s' "${1//\//\\}"; }

served=$work/root/update/1.3
mkdir -p "$served/data" "$work/product" "$work/curl"
# Sizes spread evenly from 1 KiB to 4 MiB (about 1 GiB in all), fixed by index.
total=0
: >"$work/queue.txt"
: >"$work/curl.cfg"
for i in $(seq 0 499); do
  bytes=$((1024 + (i * 8405) % (4 * 1024 * 1024 - 1024)))
  [ "$i" -eq 499 ] && bytes=$((4 * 1024 * 1024))
  name=$(printf 'data/f%03d.bin' "$i")
  head -c "$bytes" /dev/urandom >"$served/$name"
  total=$((total + bytes))
  digest=$(md5sum "$served/$name" | awk '{print toupper($1)}')
  printf '%s %s\n' "$digest" "${name//\//\\}" >>"$work/queue.txt"
  printf 'url = "http://127.0.0.1:PORT/update/1.3/%s"\noutput = "%s"\n' \
    "$name" "$work/curl/f$i.bin" >>"$work/curl.cfg"
done
cp "$build/bin/download_bench.exe" "$work/product/"

"$build/wine-run" "$build/bin/bench_http_server.exe" "$(win "$work/root")" \
  "$(win "$work/port")" "$(win "$work/stop")" </dev/null >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(tr -d '\r\n' <"$work/port")
sed -i "s/PORT/$port/" "$work/curl.cfg"

now() { date +%s.%N; }
# Each side runs twice; the faster run counts, so a busy machine weighs less.
ours=""
theirs=""
for round in 1 2; do
  rm -rf "$work/product/data" "$work/curl"/*
  out=$("$build/wine-run" "$work/product/download_bench.exe" "http://127.0.0.1:$port" \
        "$(win "$work/queue.txt")" </dev/null 2>/dev/null | tr -d '\r')
  seconds=$(awk '$1 == "seconds" {print $2}' <<<"$out")
  ours=$(awk -v a="$ours" -v b="$seconds" 'BEGIN {print (a == "" || b < a) ? b : a}')
  start=$(now)
  curl -s --fail -K "$work/curl.cfg"
  seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN {printf "%.3f", b - a}')
  theirs=$(awk -v a="$theirs" -v b="$seconds" 'BEGIN {print (a == "" || b < a) ? b : a}')
done
fetched=$(cd "$served" && md5sum data/*.bin | (cd "$work/product" && md5sum -c --quiet 2>/dev/null) |
          wc -l)

echo "download files: 500, $total bytes; mismatching after our run: $fetched (0 expected)"
echo "download DownloadQueuedFiles: $ours s (under Wine)"
echo "download curl:                $theirs s"
ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "%.2f", a / b}')
echo "RESULT download ratio=$ratio target=1.5"
