#!/usr/bin/env bash
# Publishing a release of 2000 small files and one of 64 MiB, against what the
# host needs to copy the same tree and hash every file (cp -r and md5sum).
set -euo pipefail
build=$1
work=$(mktemp -d "$build/bench-publish.XXXXXX")
trap 'rm -rf "$work"' EXIT
release=$work/release
mkdir -p "$release/data"
cp "$build/bin/veldra-demo-1.32.0.exe" "$release/veldra.exe"
for i in $(seq 1 20); do
  mkdir -p "$release/parts/$i"
  for j in $(seq 1 100); do head -c 4096 /dev/urandom >"$release/parts/$i/p$j.bin"; done
done
head -c $((64 << 20)) /dev/urandom >"$release/data/big.dat"
to_win() { WINEPREFIX=$build/wineprefix winepath -w "$1" 2>/dev/null; }

start=$(date +%s.%N)
"$build/wine-run" "$build/bin/veldra-publish.exe" "$(to_win "$release")" 1.32.0 \
  "$(to_win "$work/out")" >/dev/null
publish=$(echo "$(date +%s.%N) - $start" | bc)

start=$(date +%s.%N)
cp -r "$release" "$work/copy"
find "$work/copy" -type f -print0 | xargs -0 md5sum >/dev/null
host=$(echo "$(date +%s.%N) - $start" | bc)

lines=$(grep -c . "$work/out/update/1.3/comm/file.lst")
echo "files listed: $lines"
echo "publisher: ${publish}s  host cp -r + md5sum: ${host}s"
ratio=$(echo "scale=2; $publish / $host" | bc)
echo "RESULT publish ratio=$ratio target=3"
