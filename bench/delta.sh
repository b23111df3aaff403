#!/usr/bin/env bash
# Patch application, ours against bare libzstd under Wine, on a real pair: two
# builds of the updater (the plain one and the end-to-end test build).
set -euo pipefail
build=${1:?usage: bench/delta.sh BUILD_DIR}
cmake --build "$build" --target delta_bench veldraupdate veldraupdate_e2e >/dev/null
bin=$(cd "$build/bin" && pwd)
zpath() { printf 'Z:%s' "${1//\//\\}"; }
out=$("$build/wine-run" "$bin/delta_bench.exe" "$(zpath "$bin/veldraupdate.exe")" \
      "$(zpath "$bin/veldraupdate_e2e.exe")" </dev/null 2>/dev/null | tr -d '\r')
field() { awk -v k="$1" '$1 == k {print $2}' <<<"$out"; }
echo "pair: veldraupdate.exe -> veldraupdate_e2e.exe, $(field target_bytes) bytes"
echo "patch: $(field patch_bytes) bytes, made in $(field make_s) s (level 19, under Wine)"
echo "apply floor (bare libzstd): $(field floor_apply_ms) ms"
echo "apply ours (ApplyPatch):    $(field ours_apply_ms) ms"
ratio=$(awk -v a="$(field ours_apply_ms)" -v b="$(field floor_apply_ms)" 'BEGIN {printf "%.2f", a / b}')
echo "RESULT delta_apply ratio=$ratio"
