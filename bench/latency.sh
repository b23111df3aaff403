#!/usr/bin/env bash
# A distant server: every answer waits 50 ms (nginx's echo_sleep, over https
# on loopback). 300 files of 1 to 16 KiB and 5 of 2 MiB into a fresh product
# folder, fetched by the updater's queue download with a pool of one and with
# the pool of four, taking turns in one process; the floor of one at a time is
# a bare loop of URLDownloadToFileA over the same URLs.
# latency.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/latency.sh BUILD_DIR}
rounds=${ROUNDS:-3}
source "$(dirname "$0")/lib/common.bash"
cmake --build "$build" --target download_bench trust_ca >/dev/null
work=$(bench_workdir latency-bench)
cleanup() {
  stop_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT

served=$work/root/update/1.3
mkdir -p "$served/data" "$served/comm" "$work/product"
total=0
for i in $(seq 0 304); do
  bytes=$((1024 + (i * 7919) % (15 * 1024)))
  [ "$i" -ge 300 ] && bytes=$((2 * 1024 * 1024))
  file=$(printf 'data/f%03d.bin' "$i")
  head -c "$bytes" /dev/urandom >"$served/$file"
  total=$((total + bytes))
  digest=$(md5sum "$served/$file" | awk '{print toupper($1)}')
  printf '%s=%s=%s\n' "$file" "$digest" "$bytes" >>"$served/comm/file.lst"
done
cp "$build/bin/download_bench.exe" "$work/product/"
hand_over "$work/product"

make_tls "$work"

port=$(free_port)
start_nginx "$work" "
  access_log off;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key;
    root $work/root;
    location / { echo_sleep 0.05; echo_exec @file; }
    location @file { }
  }" "load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;"

out=$("$build/wine-run" "$work/product/download_bench.exe" pools "https://localhost:$port" \
  "$rounds" </dev/null 2>/dev/null | tr -d '\r')
one=() four=() floor=() ratios=()
while read -r _ a b c failed; do
  one+=("$a") four+=("$b") floor+=("$c")
  ratios+=("$(awk -v a="$b" -v b="$a" 'BEGIN {printf "%.3f", a / b}')")
  echo "latency round: pool of 1 $a s, pool of 4 $b s, bare loop $c s ($failed failed)"
done < <(awk '$1 == "round"' <<<"$out")
echo "latency https from nginx on loopback, 50 ms before every answer: $(value queued "$out")" \
  "files (305 expected), $total bytes; $rounds rounds, median seconds:"
echo "latency   pool of 1:                       $(median "${one[@]}")"
echo "latency   pool of 4:                       $(median "${four[@]}")"
echo "latency   floor, bare URLDownloadToFileA:  $(median "${floor[@]}")"
echo "RESULT latency ratio=$(round2 "$(median "${ratios[@]}")") target=0.35"
