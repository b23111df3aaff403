#!/usr/bin/env bash
# The nginx template as deployed: a tree the native publisher writes, served
# over http and https and checked with curl, also while publishes replace it.
# Usage: nginx_test.sh NATIVE_BUILD_DIR SOURCE_DIR
set -u
build=$1
source=$2
work=$(mktemp -d "$build/nginx-test.XXXXXX")
failures=0
nginx_pid=""
publisher_pid=""
cleanup() {
  [ -n "$publisher_pid" ] && kill "$publisher_pid" 2>/dev/null && wait "$publisher_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
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
publish() { "$build/bin/veldra-publish" "$@" >/dev/null 2>&1; }

mkdir -p "$work/release/bin" "$work/release/数据"
head -c 100000 /dev/urandom >"$work/release/veldra.exe"
printf 'dll bytes' >"$work/release/bin/a.dll"
printf '中文' >"$work/release/数据/说明.txt"
"$build/bin/veldra-publish" keygen "$work/key.pem" "$work/key.pub.pem" >/dev/null
publish "$work/release" 1.32.0 "$work/out" --sign "$work/key.pem" || { echo "FAIL publish"; exit 1; }
# A publish cut short once announced: serve finishes it before nginx starts.
VELDRA_PUBLISH_FAULT=reply-1:crash publish "$work/release" 1.32.0 "$work/out" --sign "$work/key.pem"
check "publish cut short" yes "$([ -e "$work/out/.staging/journal" ] && echo yes)"

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
        -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
read -r http_port https_port turns_http turns_https < <(python3 -c '
import socket
s = [socket.socket() for _ in range(4)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
export VELDRA_PUBLISH=$build/bin/veldra-publish
"$source/deploy/serve" "$work/out" "$work/state" "$http_port" "$https_port" \
    "$work/cert.pem" "$work/key.pem" &
nginx_pid=$!
http=http://127.0.0.1:$http_port
https=https://localhost:$https_port
for _ in $(seq 1 50); do curl -s -o /dev/null "$http/" && break; sleep 0.1; done
check "recovered before serving" no "$([ -e "$work/out/.staging/journal" ] && echo yes || echo no)"

code() { curl -s -o /dev/null -w '%{http_code}' --cacert "$work/cert.pem" "$1"; }
type_of() { curl -s -o /dev/null -w '%{content_type}' --cacert "$work/cert.pem" "$1"; }
body() { curl -s --cacert "$work/cert.pem" "$1"; }

check "reply 0" "$(cat "$work/out/index3.php/Ver2Control/0/0/0")" "$(body "$http/index3.php/Ver2Control/0/0/0")"
check "reply 1" 200 "$(code "$http/index3.php/Ver2Control/0/0/1")"
check "reply type" application/json "$(type_of "$http/index3.php/Ver2Control/0/0/0")"
check "other language digit" 404 "$(code "$http/index3.php/Ver2Control/0/0/2")"
check "no files over http" 404 "$(code "$http/update/1.3/comm/file.lst")"
check "list over https" "$(cat "$work/out/update/1.3/comm/file.lst")" "$(body "$https/update/1.3/comm/file.lst")"
check "list type" text/plain "$(type_of "$https/update/1.3/comm/file.lst")"
check "dll type" application/octet-stream "$(type_of "$https/update/1.3/bin/a.dll")"
check "main program" 200 "$(code "$https/update/1.0/veldra.exe")"
for sig in 1.3/comm/file.lst.sig 1.0/veldra.exe.sig; do
  curl -s --cacert "$work/cert.pem" -o "$work/fetched.sig" "$https/update/$sig"
  check "signature $sig" "" "$(cmp "$work/fetched.sig" "$work/out/update/$sig" 2>&1)"
  check "signature type" application/octet-stream "$(type_of "$https/update/$sig")"
  check "no signature over http" 404 "$(code "$http/update/$sig")"
done
check "chinese name" "中文" "$(body "$https/update/1.3/%E6%95%B0%E6%8D%AE/%E8%AF%B4%E6%98%8E.txt")"
check "no listing" 404 "$(code "$https/update/1.3/")"
check "no listing of update" 404 "$(code "$https/update/")"
check "record not served" 404 "$(code "$https/published/1.3.txt")"
check "replies not over https" 404 "$(code "$https/index3.php/Ver2Control/0/0/0")"
check "staging not served" 404 "$(code "$https/.staging/")"
check "missing file" 404 "$(code "$https/update/1.3/absent.txt")"
check "root" 404 "$(code "$https/")"
# A release that replaces this one brings patches from it: served with the
# tree, the earlier release kept for later patches is not.
head -c 300000 "$work/release/veldra.exe" >"$work/release/bin/render.dll"
publish "$work/release" 1.32.1 "$work/out" --replace || check "publish 1.32.1" 0 1
printf 'render 1.32.2' | dd of="$work/release/bin/render.dll" bs=1 seek=5000 conv=notrunc status=none
publish "$work/release" 1.32.2 "$work/out" --replace || check "publish 1.32.2" 0 1
index=$(body "$https/update/1.3/comm/delta.lst")
check "patch index" "$(cat "$work/out/update/1.3/comm/delta.lst")" "$index"
check "patch index type" text/plain "$(type_of "$https/update/1.3/comm/delta.lst")"
IFS='=' read -r _ new old _ <<<"$index"
check "patch" 200 "$(code "$https/update/1.3/comm/delta/$old-$new.zst")"
check "patch type" application/octet-stream "$(type_of "$https/update/1.3/comm/delta/$old-$new.zst")"
check "earlier releases not served" 404 "$(code "$https/.earlier-releases/1.32.1/bin/render.dll")"
# Two releases that share update/1.3, published in turn while a client keeps
# fetching: every body served is one release's whole file, never a mix or a cut.
for v in a b; do
  mkdir -p "$work/$v/data"
  cp "$work/release/veldra.exe" "$work/$v/veldra.exe"
  head -c $((16 << 20)) /dev/urandom >"$work/$v/data/big.dat"
done
# Unrelated random contents: patches would only cost time here.
publish "$work/a" 1.33.0 "$work/turns" && publish "$work/b" 1.34.0 "$work/turns" --replace --no-delta \
  || { echo "FAIL publish in turns"; exit 1; }
big_sums=" $(md5sum <"$work/a/data/big.dat" | cut -c1-32) $(md5sum <"$work/b/data/big.dat" | cut -c1-32) "
list_a=$(publish "$work/a" 1.33.0 "$work/list-a" && md5sum <"$work/list-a/update/1.3/comm/file.lst" | cut -c1-32)
list_b=$(publish "$work/b" 1.34.0 "$work/list-b" && md5sum <"$work/list-b/update/1.3/comm/file.lst" | cut -c1-32)
"$source/deploy/serve" "$work/turns" "$work/state-turns" "$turns_http" "$turns_https" \
    "$work/cert.pem" "$work/key.pem" &
turns_pid=$!
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$turns_http/" && break; sleep 0.1; done
(
  for i in $(seq 1 20); do
    if [ $((i % 2)) -eq 1 ]; then publish "$work/a" 1.33.0 "$work/turns" --replace --rollback --no-delta
    else publish "$work/b" 1.34.0 "$work/turns" --replace --rollback --no-delta; fi || exit 1
  done
) &
publisher_pid=$!
served=0 whole=0 lists=0 bad=""
turns=https://localhost:$turns_https/update/1.3
for _ in $(seq 1 2000); do
  kill -0 "$publisher_pid" 2>/dev/null || break
  code=$(curl -s -o "$work/fetched" -w '%{http_code}' --cacert "$work/cert.pem" "$turns/data/big.dat")
  if [ "$code" = 200 ]; then
    served=$((served + 1))
    sum=$(md5sum <"$work/fetched" | cut -c1-32)
    case "$big_sums" in *" $sum "*) whole=$((whole + 1)) ;; *) bad="$bad big.dat:$sum" ;; esac
  fi
  code=$(curl -s -o "$work/fetched" -w '%{http_code}' --cacert "$work/cert.pem" "$turns/comm/file.lst")
  if [ "$code" = 200 ]; then
    sum=$(md5sum <"$work/fetched" | cut -c1-32)
    if [ "$sum" = "$list_a" ] || [ "$sum" = "$list_b" ]; then lists=$((lists + 1)); else bad="$bad list:$sum"; fi
  fi
done
wait "$publisher_pid"
check "publishes in turns" 0 $?
publisher_pid=""
kill "$turns_pid" 2>/dev/null && wait "$turns_pid" 2>/dev/null
check "bodies served while publishing" yes "$([ "$served" -gt 0 ] && [ "$lists" -gt 0 ] && echo yes)"
check "every body whole and from one release ($whole files, $lists lists)" "" "$bad"

[ "$failures" -eq 0 ] || { cat "$work/state/error.log"; exit 1; }
echo "all nginx checks passed"
