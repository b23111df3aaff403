#!/usr/bin/env bash
# Peak working set while DownloadFile replaces one 512 MiB file fetched from a
# loopback server (in its own process), as a multiple of the file size.
set -euo pipefail
build=${1:?usage: bench/peak-memory.sh BUILD_DIR}
source "$(dirname "$0")/lib/common.bash"
cmake --build "$build" --target bench_http_server peak_memory_bench >/dev/null

work=$(bench_workdir peak-memory)
server_pid=""
cleanup() {
  touch "$work/stop"
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

size=$((512 * 1024 * 1024))
mkdir -p "$work/root/big" "$work/product"
head -c "$size" /dev/urandom >"$work/root/big/file.bin"
head -c "$size" /dev/urandom >"$work/product/file.bin"  # the old copy it replaces
digest=$(md5sum "$work/root/big/file.bin" | awk '{print toupper($1)}')
hand_over "$work"

"$build/wine-run" "$build/bin/bench_http_server.exe" "$(win "$work/root")" \
  "$(win "$work/port")" "$(win "$work/stop")" </dev/null >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(tr -d '\r\n' <"$work/port")

out=$("$build/wine-run" "$build/bin/peak_memory_bench.exe" "http://127.0.0.1:$port" \
      /big/file.bin "$(win "$work/product/file.bin")" "$digest" </dev/null 2>/dev/null |
      tr -d '\r')
result=$(awk '$1 == "result" {print $2}' <<<"$out")
peak=$(awk '$1 == "peak_bytes" {print $2}' <<<"$out")
same=$(cmp -s "$work/root/big/file.bin" "$work/product/file.bin" && echo yes || echo no)

echo "peak-memory file: $size bytes, DownloadFile result $result, replaced intact: $same"
echo "peak-memory peak working set: $peak bytes (under Wine)"
ratio=$(awk -v a="$peak" -v b="$size" 'BEGIN {printf "%.2f", a / b}')
echo "RESULT peak-memory ratio=$ratio target=1.2"
