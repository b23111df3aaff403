#!/usr/bin/env bash
# Writes archives with the Windows driver, turns the program's record
# signatures into the standard ones and lets Info-ZIP unzip read them back.
#   unzip_check.sh WINE-RUN DRIVER-EXE
set -u
wine_run=$1
driver=$2
work=$(mktemp -d /tmp/veldra-archive-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Walks the end record, the central headers, the local headers and the
# descriptors at their recorded offsets and patches each signature.
patch_signatures() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
def expect(at, kind):
    if data[at:at + 4] != b'\x0b\x32' + kind:
        sys.exit('no %s record at %d' % (kind.hex(), at))
    data[at:at + 2] = b'PK'
end = len(data) - 22
expect(end, b'\x05\x06')
count, size, offset = struct.unpack_from('<HII', data, end + 10)
at = offset
for _ in range(count):
    expect(at, b'\x01\x02')
    flags, crc, csize, usize, nlen, elen, clen = struct.unpack_from('<H6xIIIHHH', data, at + 8)
    local, = struct.unpack_from('<I', data, at + 42)
    expect(local, b'\x03\x04')
    lflags, lcrc, lcsize, lusize, lnlen, lelen = struct.unpack_from('<H6xIIIHH', data, local + 6)
    if lflags != flags:
        sys.exit('local flags %d, central flags %d' % (lflags, flags))
    if flags & 8:
        descriptor = local + 30 + lnlen + lelen + csize
        expect(descriptor, b'\x07\x08')
        if struct.unpack_from('<III', data, descriptor + 4) != (crc, csize, usize):
            sys.exit('descriptor differs from the central header')
    elif (lcrc, lcsize, lusize) != (crc, csize, usize):
        sys.exit('local header differs from the central header')
    at += 46 + nlen + elen + clen
if at != offset + size:
    sys.exit('central directory size mismatch')
open(sys.argv[2], 'wb').write(data)
PY
}

# check LABEL PASSWORD(- for none) NAME FILE [NAME FILE]...
check() {
  local label=$1 password=$2
  shift 2
  local archive=$work/$label.bin patched=$work/$label.zip
  local args=() names=() files=()
  while [ $# -ge 2 ]; do
    args+=("$1" "$(windows_path "$2")")
    names+=("$1")
    files+=("$2")
    shift 2
  done
  if ! "$wine_run" "$driver" "$(windows_path "$archive")" "$password" "${args[@]}" \
      >"$work/$label.out" 2>&1 </dev/null; then
    fail "$label: driver: $(tr -d '\r' <"$work/$label.out" | tr '\n' ' ')"
    return
  fi
  if unzip -tqq "$archive" >/dev/null 2>&1; then
    fail "$label: unzip took the unpatched archive"
  fi
  if ! patch_signatures "$archive" "$patched"; then
    fail "$label: records not where the directory says"
    return
  fi
  local pw=()
  [ "$password" = - ] || pw=(-P "$password")
  if ! unzip -tq "${pw[@]}" "$patched" >"$work/$label.test" 2>&1; then
    fail "$label: unzip -t: $(cat "$work/$label.test")"
  fi
  local i
  for i in "${!names[@]}"; do
    local member=${names[$i]//\\//}
    if ! unzip -p "${pw[@]}" "$patched" "$member" >"$work/$label.$i.got" 2>"$work/$label.err"; then
      fail "$label: unzip -p $member: $(cat "$work/$label.err")"
    elif ! cmp -s "$work/$label.$i.got" "${files[$i]}"; then
      fail "$label: $member differs from its input"
    fi
  done
  if [ "$password" != - ] && unzip -p -P "not-$password" "$patched" >/dev/null 2>&1; then
    fail "$label: a wrong password was accepted"
  fi
  echo "ok: $label"
}

printf 'ver=1.31\r\n' >"$work/short.txt"
awk 'BEGIN { while (n < 1048576) { line = "line " i " value=" (i * 7919 % 10007) "\r\n";
             printf "%s", line; n += length(line); i++ } }' | head -c 1048576 >"$work/large.txt"
printf 'a\r\nb=2\r\n' >"$work/small.ini"
head -c 70000 /dev/urandom >"$work/random.bin"
(cd "$work" && zip -q inner.zip short.txt large.txt 2>/dev/null) || cp "$work/random.bin" "$work/inner.zip"

check short-plain - qz "$work/short.txt"
check short-password s3cret qz "$work/short.txt"
check large-plain - big.txt "$work/large.txt"
check large-password 'pass word' big.txt "$work/large.txt"
check several-plain - a.txt "$work/short.txt" 'dir\b.txt' "$work/large.txt" c.ini "$work/small.ini"
check several-password pw a.txt "$work/short.txt" 'dir\b.txt' "$work/large.txt" c.ini "$work/small.ini"
check stored-plain - inner.zip "$work/inner.zip" data.GZ "$work/random.bin" qz "$work/short.txt"
check stored-password pw inner.zip "$work/inner.zip" data.GZ "$work/random.bin" qz "$work/short.txt"

# The stored entries must really be stored.
# The level shows only where the local header was rewritten (no password).
for label in stored-plain stored-password; do
  level=X
  [ "$label" = stored-plain ] || level=N
  listing=$(unzip -v "$work/$label.zip" 2>/dev/null)
  for member in inner.zip data.GZ; do
    grep -Eq "Stored .* $member\$" <<<"$listing" || fail "$label: $member not stored"
  done
  grep -Eq "Defl:$level .* qz\$" <<<"$listing" || fail "$label: qz not shown as Defl:$level"
done

# A settings file saved with a password becomes one entry "qz" in normal form.
printf 'b=2\r\na=1\r\njunk\r\n' >"$work/config.ini"
printf 'a=1\r\nb=2\r\n' >"$work/config.expected"
if ! "$wine_run" "$driver" --settings "$(windows_path "$work/config.ini")" k3y \
    >"$work/settings.out" 2>&1 </dev/null; then
  fail "settings: driver: $(tr -d '\r' <"$work/settings.out" | tr '\n' ' ')"
elif ! patch_signatures "$work/config.ini" "$work/config.zip"; then
  fail "settings: records not where the directory says"
else
  [ "$(unzip -Z1 "$work/config.zip" 2>/dev/null)" = qz ] || fail "settings: entries are not just qz"
  unzip -p -P k3y "$work/config.zip" qz >"$work/config.got" 2>/dev/null
  cmp -s "$work/config.got" "$work/config.expected" || fail "settings: qz differs"
  echo "ok: settings"
fi

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all archives read back"
