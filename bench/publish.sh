#!/usr/bin/env bash
# Publishing a release of 2000 small files and one of 64 MiB with the native
# publisher, against what the host needs to copy the same tree, hash every
# file and force every file and folder to the disk (cp -r, md5sum, sync); the
# Windows build under Wine as information.
#   bench/publish.sh WINDOWS_BUILD_DIR [NATIVE_BUILD_DIR]
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
native=${2:-$top/build-native}
if [ ! -x "$native/bin/veldra-publish" ]; then
  (cd "$top" && cmake --preset native >/dev/null && cmake --build --preset native \
     --target veldra-publish >/dev/null)
fi
work=$(mktemp -d "$native/bench-publish.XXXXXX")
trap 'rm -rf "$work"' EXIT
release=$work/release
mkdir -p "$release/data"
head -c 300000 /dev/urandom >"$release/veldra.exe"
for i in $(seq 1 20); do
  mkdir -p "$release/parts/$i"
  for j in $(seq 1 100); do head -c 4096 /dev/urandom >"$release/parts/$i/p$j.bin"; done
done
head -c $((64 << 20)) /dev/urandom >"$release/data/big.dat"
zpath() { printf 'Z:%s' "${1//\//\\}"; }
now() { date +%s.%N; }
cat "$release/data/big.dat" >/dev/null  # every run starts from a warm cache

# Best of three for both, each into a fresh folder.
best() { printf '%s\n' "$@" | sort -n | head -n 1; }
native_runs=() host_runs=()
for run in 1 2 3; do
  start=$(now)
  "$native/bin/veldra-publish" "$release" 1.32.0 "$work/out$run" >/dev/null
  native_runs+=("$(echo "$(now) - $start" | bc)")
  start=$(now)
  cp -r "$release" "$work/copy$run"
  find "$work/copy$run" -type f -print0 | xargs -0 md5sum >/dev/null
  # Durable as the publisher's copy: every file and folder forced to the disk.
  find "$work/copy$run" -print0 | xargs -0 sync
  host_runs+=("$(echo "$(now) - $start" | bc)")
  rm -rf "$work/out$run" "$work/copy$run"
done
publish=$(best "${native_runs[@]}")
host=$(best "${host_runs[@]}")

"$native/bin/veldra-publish" "$release" 1.32.0 "$work/out" >/dev/null
echo "files listed: $(grep -c . "$work/out/update/1.3/comm/file.lst")"
echo "native publisher: ${publish}s  host cp -r + md5sum + sync: ${host}s"
if [ -x "$build/bin/veldra-publish.exe" ]; then
  mkdir -p "$work/out-windows"
  "$build/wine-run" own "$work"  # Wine reads the release and writes the output as its user
  start=$(now)
  "$build/wine-run" "$build/bin/veldra-publish.exe" "$(zpath "$release")" 1.32.0 \
    "$(zpath "$work/out-windows")" >/dev/null
  windows=$(echo "$(now) - $start" | bc)
  echo "Windows publisher under Wine (information): ${windows}s," \
       "ratio $(echo "scale=2; $windows / $host" | bc)"
fi
ratio=$(echo "scale=2; $publish / $host" | bc)
echo "RESULT publish ratio=$ratio target=1.5"
