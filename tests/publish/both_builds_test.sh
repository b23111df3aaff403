#!/usr/bin/env bash
# The native publisher and the Windows one (under Wine) publish the same
# release; their outputs must be the same bytes (signatures aside, which differ
# on every run: each must verify), and both must refuse the same release with
# the same message and exit code. Each build's keys serve the other and openssl.
#   both_builds_test.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -u
native=$1
windows=$2
if [ ! -x "$windows/bin/veldra-publish.exe" ] || [ ! -x "$windows/wine-run" ]; then
  echo "no Windows build in $windows (cmake --preset mingw && cmake --build --preset mingw)"
  exit 77
fi
work=$(mktemp -d "$native/both-builds.XXXXXX")
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
# Folders the Windows publisher writes must belong to the user Wine runs as.
own() { "$windows/wine-run" own "$@"; }
publish_native() {  # OUT LOG ARGS...
  local out=$1 log=$2
  shift 2
  "$native/bin/veldra-publish" "$work/release" "$@" "$out" >"$log" 2>&1
}
publish_windows() {  # OUT LOG ARGS...
  local out=$1 log=$2
  shift 2
  mkdir -p "$out"
  own "$out"
  "$windows/wine-run" "$windows/bin/veldra-publish.exe" "$(zpath "$work/release")" "$@" \
    "$(zpath "$out")" >"$log" 2>&1 </dev/null
}
# Reports compared without Windows' CR before each line end.
report() { tr -d '\r' <"$1"; }

"$windows/wine-run" start >/dev/null 2>&1 || { echo "FAIL wine start"; exit 1; }

release=$work/release
mkdir -p "$release/bin" "$release/数据" "$release/data" "$release/empty/inner" \
         "$release/config"
head -c 300000 /dev/urandom >"$release/veldra.exe"
head -c $((64 << 20)) /dev/urandom >"$release/data/big.dat"
head -c 150000 /dev/urandom >"$release/bin/render.dll"
printf 'ver=1.32.0\r\n' >"$release/config/config.ini"
printf '版本 1.32.0 说明\n' >"$release/数据/说明 文件.txt"
printf 'fullwidth' >"$release/data/＠.txt"
printf 'one byte' >"$release/data/a b.txt"
keys=$work/keys
mkdir -p "$keys"
own "$work"

# Keys: the Windows build writes what openssl writes, and each build signs with the other's.
"$native/bin/veldra-publish" keygen "$keys/native.pem" "$keys/native.pub.pem" >/dev/null
check "native keygen" 0 $?
own "$keys/native.pem"  # readable by its owner only: the owner Wine runs as
"$windows/wine-run" "$windows/bin/veldra-publish.exe" keygen "$(zpath "$keys/windows.pem")" \
  "$(zpath "$keys/windows.pub.pem")" >/dev/null 2>&1 </dev/null
check "Windows keygen" 0 $?
check "openssl reads the Windows private key as written" "$(cat "$keys/windows.pem")" \
      "$(openssl pkey -in "$keys/windows.pem")"
check "its public half is the public key file" "$(cat "$keys/windows.pub.pem")" \
      "$(openssl pkey -in "$keys/windows.pem" -pubout)"
check "others cannot read the Windows private key" 0 \
      "$(( 0$(stat -c %a "$keys/windows.pem") & 7 ))"
verifies() {  # verifies PUBLIC_KEY TREE: every signature of TREE verifies
  local sig count=0
  while IFS= read -r sig; do
    openssl dgst -sha256 -verify "$1" -signature "$sig" "${sig%.sig}" >/dev/null || return 1
    count=$((count + 1))
  done < <(find "$2" -name '*.sig')
  [ "$count" -eq 2 ]
}

publish_native "$work/out-native" "$work/native.log" 1.32.0 --force --sign "$keys/native.pem"
check "native publishes" 0 $?
publish_windows "$work/out-windows" "$work/windows.log" 1.32.0 --force \
  --sign "$(zpath "$keys/native.pem")"
check "Windows publishes" 0 $?
verifies "$keys/native.pub.pem" "$work/out-native"
check "native signatures verify" 0 $?
verifies "$keys/native.pub.pem" "$work/out-windows"
check "Windows signatures verify" 0 $?
publish_native "$work/signed-by-windows-key" "$work/native-windows-key.log" 1.32.0 \
  --sign "$keys/windows.pem"
check "native publishes with the Windows key" 0 $?
verifies "$keys/windows.pub.pem" "$work/signed-by-windows-key"
check "its signatures verify" 0 $?
check "same report" "$(report "$work/native.log")" "$(report "$work/windows.log")"
list=$work/out-native/update/1.3/comm/file.lst
check "list lines" 6 "$(grep -c $'\r$' "$list")"
check "non-ASCII name listed" "data\\＠.txt" \
      "$(grep -o 'data\\[^=]*\.txt' "$list" | grep -v 'a b' | tr '\n' ' ' | sed 's/ $//')"
check "64 MiB file listed" "data\\big.dat=$(md5sum <"$release/data/big.dat" | cut -c1-32 |
      tr a-f A-F)=67108864" "$(grep -a 'big.dat' "$list" | tr -d '\r')"
# Every entry, folders included (the empty one is published by neither), and every byte.
tree() { (cd "$1" && find . -mindepth 1 -printf '%y %P\n' | LC_ALL=C sort); }
check "same entries" "$(tree "$work/out-native")" "$(tree "$work/out-windows")"
check "empty folder not published" "" "$(tree "$work/out-native" | grep empty)"
if diff -r -x '*.sig' "$work/out-native" "$work/out-windows" >"$work/diff.txt"; then
  echo "ok   same bytes"
else
  echo "FAIL outputs differ:"
  head -20 "$work/diff.txt"
  failures=$((failures + 1))
fi

# A file of 0 bytes: both refuse alike and write nothing.
: >"$release/bin/zero.dat"
publish_native "$work/refused-native" "$work/native-refused.log" 1.33.0
check "native refuses 0 bytes" 3 $?
publish_windows "$work/refused-windows" "$work/windows-refused.log" 1.33.0
check "Windows refuses 0 bytes" 3 $?
check "same refusal" "$(report "$work/native-refused.log")" \
      "$(report "$work/windows-refused.log")"
grep -q 'empty file (the updater skips size 0): bin\\zero.dat' "$work/native-refused.log"
check "refusal names the file" 0 $?
check "nothing written natively" "" "$(ls "$work/refused-native" 2>/dev/null | grep -v '^\.')"
check "nothing written by Windows" "" "$(ls "$work/refused-windows" | grep -v '^\.')"

# Names the updater cannot fetch or the publisher writes itself: same
# refusal, one line each, and nothing written.
rm "$release/bin/zero.dat"
for name in 'data/😀.txt' 'data/a#1.txt' 'data/100%.txt' 'Comm' 'comm/delta/p.bin' '~TMP.bak'; do
  mkdir -p "$release/$(dirname "$name")"
  printf 'x' >"$release/$name"
done
publish_native "$work/names-native" "$work/native-names.log" 1.33.0
check "native refuses the names" 3 $?
publish_windows "$work/names-windows" "$work/windows-names.log" 1.33.0
check "Windows refuses the names" 3 $?
check "same name refusal" "$(report "$work/native-names.log")" \
      "$(report "$work/windows-names.log")"
check "one line per problem (Comm also beside comm\\)" 7 "$(grep -c ': \(data\|Comm\|comm\|~TMP\)' "$work/native-names.log")"
check "no names written by Windows" "" "$(ls "$work/names-windows" | grep -v '^\.')"
rm -r "$release/data/😀.txt" "$release/data/a#1.txt" "$release/data/100%.txt" "$release/Comm" \
      "$release/comm" "$release/~TMP.bak"

# A version that shares a directory with another: same refusal and code.
publish_native "$work/out-native" "$work/native-shared.log" 1.35.0
check "native refuses a shared directory" 3 $?
publish_windows "$work/out-windows" "$work/windows-shared.log" 1.35.0
check "Windows refuses a shared directory" 3 $?
check "same shared-directory refusal" "$(report "$work/native-shared.log")" \
      "$(report "$work/windows-shared.log")"

# The lock: a native publisher holding the output keeps the Windows one off.
python3 - "$work/out-windows/.publish.lock" "$work/locked" <<'PY' &
import fcntl, os, sys, time
lock = open(sys.argv[1], "a")
fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)  # as the native publisher takes it
open(sys.argv[2], "w").close()
for _ in range(300):
    if not os.path.exists(sys.argv[2]): break
    time.sleep(0.1)
PY
holder=$!
for _ in $(seq 1 50); do [ -e "$work/locked" ] && break; sleep 0.1; done
publish_windows "$work/out-windows" "$work/windows-locked.log" 1.32.0
check "Windows publisher kept off by the native lock" 4 $?
grep -q "another publisher" "$work/windows-locked.log"
check "says so" 0 $?
rm -f "$work/locked"
wait "$holder"
publish_windows "$work/out-windows" "$work/windows-unlocked.log" 1.32.0
check "Windows publishes once the lock is free" 0 $?

[ "$failures" -eq 0 ] || exit 1
echo "both builds agree"
