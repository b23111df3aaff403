#!/usr/bin/env bash
# Patches against whole files, in one run.
#   delta-bytes, delta-wall  a release pair built from real programs (two
#     builds of the updater, the demo product at two versions) plus a large
#     data file with scattered edits and one with an insertion near its start,
#     published twice (with patches, and with --no-delta) and served by nginx
#     over http with limit_rate; the same update (FetchFileList, then
#     DownloadQueuedFiles, under Wine) of a product folder holding the first
#     release, against each server in turns: bytes served and wall time
#   delta-apply  ApplyPatch against bare libzstd under Wine on the updater pair
#   as information: the same update run again on the converged folder (the
#     scan alone, nothing fetched)
# delta.sh BUILD_DIR   (RATE: nginx limit_rate, default 1m, a client far from
# the server; ROUNDS: default 3)
set -euo pipefail
build=${1:?usage: bench/delta.sh BUILD_DIR}
rate=${RATE:-1m}
rounds=${ROUNDS:-3}
source "$(dirname "$0")/lib/common.bash"
cmake --build "$build" --target delta_bench delta_update_bench veldraupdate veldraupdate_e2e \
  veldra-demo-1.31.0 veldra-demo-1.32.0 veldra-publish >/dev/null
bin=$(cd "$build/bin" && pwd)
work=$(bench_workdir delta-bench)
cleanup() {
  stop_nginx "$work"
  rm -rf "$work"
}
trap cleanup EXIT

# --- application: ours against the floor
out=$("$build/wine-run" "$bin/delta_bench.exe" "$(win "$bin/veldraupdate.exe")" \
      "$(win "$bin/veldraupdate_e2e.exe")" </dev/null 2>/dev/null | tr -d '\r')
echo "apply: veldraupdate.exe -> veldraupdate_e2e.exe, $(value target_bytes "$out") bytes," \
  "patch $(value patch_bytes "$out") bytes made in $(value make_s "$out") s (level 19, under Wine)"
echo "apply floor (bare libzstd): $(value floor_apply_ms "$out") ms," \
  "ours (ApplyPatch): $(value ours_apply_ms "$out") ms"
apply_ratio=$(ratio "$(value ours_apply_ms "$out")" "$(value floor_apply_ms "$out")")

# --- the release pair
old=$work/r1 new=$work/r2
mkdir -p "$old/bin" "$old/data" "$new/bin" "$new/data"
cp "$bin/veldraupdate.exe" "$old/bin/engine.exe"
cp "$bin/veldraupdate_e2e.exe" "$new/bin/engine.exe"
cp "$bin/veldra-demo-1.31.0.exe" "$old/bin/viewer.exe"
cp "$bin/veldra-demo-1.32.0.exe" "$new/bin/viewer.exe"
cp "$bin/veldra-demo-1.31.0.exe" "$old/veldra.exe"
cp "$bin/veldra-demo-1.32.0.exe" "$new/veldra.exe"
head -c $((24 << 20)) /dev/urandom >"$old/data/symbols.dat"
cp "$old/data/symbols.dat" "$new/data/symbols.dat"
for i in $(seq 1 20); do
  head -c 64 /dev/urandom | dd of="$new/data/symbols.dat" bs=1 seek=$((i * 1200000)) \
    conv=notrunc status=none
done
head -c $((8 << 20)) /dev/urandom >"$old/data/drawing.dat"
{ head -c 4096 "$old/data/drawing.dat"; head -c 1000 /dev/urandom
  tail -c +4097 "$old/data/drawing.dat"; } >"$new/data/drawing.dat"
hand_over "$work"
publisher=$(dirname "$build")/build-native/bin/veldra-publish
publish() {  # FOLDER VERSION OUT [OPTIONS...]
  local folder=$1 version=$2 target=$3
  shift 3
  if [ -x "$publisher" ]; then
    "$publisher" "$folder" "$version" "$target" --replace "$@" >/dev/null
  else
    mkdir -p "$target"
    hand_over "$target"
    "$build/wine-run" "$bin/veldra-publish.exe" "$(win "$folder")" "$version" "$(win "$target")" \
      --replace "$@" </dev/null >/dev/null 2>&1
  fi
}
start=$(now)
for kind in delta whole; do
  option=()
  [ $kind = whole ] && option=(--no-delta)
  publish "$old" 1.31.0 "$work/$kind" "${option[@]}"
  publish "$new" 1.32.0 "$work/$kind" "${option[@]}"
done
echo "published: $(seconds_since "$start") s for both outputs;" \
  "index $(wc -l <"$work/delta/update/1.3/comm/delta.lst") lines," \
  "patches $(cat "$work/delta/update/1.3/comm/delta"/*.zst | wc -c) bytes"
changed=0
for f in bin/engine.exe bin/viewer.exe data/symbols.dat data/drawing.dat; do
  changed=$((changed + $(stat -c %s "$new/$f")))
done

port_delta=$(free_port)
port_whole=$(free_port)
start_nginx "$work" "
  log_format bytes '\$body_bytes_sent \$request_uri';
  limit_rate $rate;
  server { listen 127.0.0.1:$port_delta; root $work/delta; access_log $work/delta.log bytes; }
  server { listen 127.0.0.1:$port_whole; root $work/whole; access_log $work/whole.log bytes; }"

product=$work/product
update() {  # KIND PORT [again]: seconds of one update from the first release
  if [ -z "${3:-}" ]; then
    rm -rf "$product"
    cp -r "$old" "$product"
    rm -f "$product/veldra.exe"
    cp "$bin/delta_update_bench.exe" "$product/"
    hand_over "$product"
  fi
  : >"$work/$1.log"
  local result
  result=$("$build/wine-run" "$product/delta_update_bench.exe" "http://127.0.0.1:$2" \
           </dev/null 2>/dev/null | tr -d '\r')
  for f in bin/engine.exe bin/viewer.exe data/symbols.dat data/drawing.dat; do
    cmp -s "$new/$f" "$product/$f" || { echo "$1: $f did not converge" >&2; exit 1; }
  done
  value seconds "$result"
}
bytes_of() { awk '$2 !~ /file\.lst$/ {b += $1} END {print b + 0}' "$work/$1.log"; }
walls=()
for round in $(seq 1 "$rounds"); do
  with=$(update delta "$port_delta")
  with_bytes=$(bytes_of delta)
  scan=$(update delta "$port_delta" again)
  whole=$(update whole "$port_whole")
  whole_bytes=$(bytes_of whole)
  walls+=("$(awk -v a="$with" -v b="$whole" 'BEGIN {printf "%.3f", a / b}')")
  echo "round $round at $rate: patches $with s, $with_bytes bytes; whole files $whole s," \
    "$whole_bytes bytes (changed files: $changed bytes); the scan alone $scan s"
done
echo "RESULT delta-bytes ratio=$(awk -v a="$with_bytes" -v b="$whole_bytes" 'BEGIN {printf "%.4f", a / b}') target=0.10"
echo "RESULT delta-wall ratio=$(round2 "$(median "${walls[@]}")") target=0.2"
echo "RESULT delta-apply ratio=$apply_ratio target=1.3"
