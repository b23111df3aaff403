#!/usr/bin/env bash
# Patches made by the native build and by the Windows build (under Wine) from
# the same pairs are the same bytes; the zstd program rebuilds each target
# from them, and the Windows build applies them and refuses a damaged one.
#   patch_both_builds_test.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -u
native=$1
windows=$2
if [ ! -x "$windows/bin/make_patch.exe" ] || [ ! -x "$windows/wine-run" ]; then
  echo "no Windows build in $windows (cmake --preset mingw && cmake --build --preset mingw)"
  exit 77
fi
# make_patch.exe takes narrow arguments: a work folder outside the build keeps
# them ASCII wherever the checkout lies.
work=$(mktemp -d /tmp/veldra-patch-both.XXXXXX)
failures=0
cleanup() {
  "$windows/wine-run" stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
check() {  # check LABEL EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
zpath() { printf 'Z:%s' "${1//\//\\}"; }
win_patch() { "$windows/wine-run" "$windows/bin/make_patch.exe" "$@" >/dev/null 2>&1 </dev/null; }

"$windows/wine-run" start >/dev/null 2>&1 || { echo "FAIL wine start"; exit 1; }

# A real pair (two builds of the updater) and a made one: random bytes, then
# edits, an insertion and a cut.
cp "$windows/bin/veldraupdate.exe" "$work/a.old"
cp "$windows/bin/veldraupdate_e2e.exe" "$work/a.new"
head -c 2000000 /dev/urandom >"$work/b.old"
{
  head -c 500000 "$work/b.old"
  head -c 30000 /dev/urandom
  tail -c +500001 "$work/b.old" | head -c 1200000
  printf 'changed tail'
} >"$work/b.new"
"$windows/wine-run" own "$work"

for pair in a b; do
  old=$work/$pair.old new=$work/$pair.new
  "$native/bin/make_patch" "$old" "$new" "$work/$pair.native.zst"
  check "$pair: native makes a patch" 0 $?
  win_patch "$(zpath "$old")" "$(zpath "$new")" "$(zpath "$work/$pair.windows.zst")"
  check "$pair: Windows makes a patch" 0 $?
  cmp -s "$work/$pair.native.zst" "$work/$pair.windows.zst"
  check "$pair: both builds write the same bytes" 0 $?
  echo "     $pair: $(stat -c %s "$new") bytes, patch $(stat -c %s "$work/$pair.native.zst")"
  zstd -q -d --long=29 --patch-from="$old" "$work/$pair.native.zst" -o "$work/$pair.zstd.out"
  cmp -s "$work/$pair.zstd.out" "$new"
  check "$pair: zstd --patch-from rebuilds the target" 0 $?
  win_patch -a "$(zpath "$old")" "$(zpath "$work/$pair.native.zst")" "$(stat -c %s "$new")" \
    "$(zpath "$work/$pair.applied")"
  check "$pair: Windows applies the patch" 0 $?
  cmp -s "$work/$pair.applied" "$new"
  check "$pair: Windows rebuilds the target" 0 $?
done

# One flipped byte in the middle: refused, nothing written.
cp "$work/b.native.zst" "$work/bad.zst"
size=$(stat -c %s "$work/bad.zst")
printf '\xff' | dd of="$work/bad.zst" bs=1 seek=$((size / 2)) conv=notrunc status=none
win_patch -a "$(zpath "$work/b.old")" "$(zpath "$work/bad.zst")" "$(stat -c %s "$work/b.new")" \
  "$(zpath "$work/bad.out")"
check "damaged patch refused" 1 $?
check "nothing written for it" no "$([ -e "$work/bad.out" ] && echo yes || echo no)"

# Both publishers replace 1.31.0 with 1.32.0: the same trees, patches and
# index included, and zstd rebuilds each listed file from its patch.
mkdir -p "$work/r/bin" "$work/r/data"
cp "$work/a.old" "$work/r/veldra.exe"
cp "$work/a.old" "$work/r/bin/tool.exe"
cp "$work/b.old" "$work/r/data/b.bin"
cp "$work/b.old" "$work/r/data/b-copy.bin"
printf 'ver=1.31.0\r\n' >"$work/r/data/config.ini"
"$windows/wine-run" own "$work"
for build in native windows; do
  out=$work/out-$build
  for step in 1.31.0 1.32.0; do
    if [ $step = 1.32.0 ]; then
      cp "$work/a.new" "$work/r/bin/tool.exe"
      cp "$work/b.new" "$work/r/data/b.bin"
      cp "$work/b.new" "$work/r/data/b-copy.bin"
      printf 'ver=1.32.0\r\n' >"$work/r/data/config.ini"
    fi
    if [ $build = native ]; then
      "$native/bin/veldra-publish" "$work/r" $step "$out" --replace >"$work/$build.log" 2>&1
    else
      mkdir -p "$out"
      "$windows/wine-run" own "$out"
      "$windows/wine-run" "$windows/bin/veldra-publish.exe" "$(zpath "$work/r")" $step \
        "$(zpath "$out")" --replace >"$work/$build.log" 2>&1 </dev/null
    fi
    check "$build publishes $step" 0 $?
  done
  cp "$work/a.old" "$work/r/bin/tool.exe"
  cp "$work/b.old" "$work/r/data/b.bin"
  cp "$work/b.old" "$work/r/data/b-copy.bin"
  printf 'ver=1.31.0\r\n' >"$work/r/data/config.ini"
done
index=$work/out-native/update/1.3/comm/delta.lst
check "index lines: the two copies share one patch" "3 2" \
  "$(grep -c $'\r$' "$index") $(ls "$work/out-native/update/1.3/comm/delta" | wc -l)"
diff -r "$work/out-native/update" "$work/out-windows/update" >"$work/diff.txt"
check "both builds serve the same bytes" 0 $?
while IFS='=' read -r path new old size; do
  file=${path//\\//}
  patch=$work/out-native/update/1.3/comm/delta/$old-$new.zst
  check "$file: listed size" "$(stat -c %s "$patch")" "${size%$'\r'}"
  zstd -q -d --long=29 --patch-from="$work/out-native/.earlier-releases/1.31.0/$file" "$patch" \
    -o "$work/rebuilt"
  cmp -s "$work/rebuilt" "$work/out-native/update/1.3/$file"
  check "$file: zstd --patch-from rebuilds it" 0 $?
  rm -f "$work/rebuilt"
done <"$index"

[ "$failures" -eq 0 ]
