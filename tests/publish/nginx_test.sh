#!/usr/bin/env bash
# The nginx template as deployed: a published tree served over http and https,
# checked with curl from the host. Usage: nginx_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
source=$2
work=$(mktemp -d "$build/nginx-test.XXXXXX")
failures=0
nginx_pid=""
cleanup() {
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

mkdir -p "$work/release/bin" "$work/release/数据"
cp "$build/bin/veldra-demo-1.32.0.exe" "$work/release/veldra.exe"
printf 'dll bytes' >"$work/release/bin/a.dll"
printf '中文' >"$work/release/数据/说明.txt"
"$build/wine-run" own "$work"
zpath() { printf 'Z:%s' "${1//\//\\}"; }
release_win=$(zpath "$work/release")
out_win=$(zpath "$work/out")
"$build/wine-run" "$build/bin/veldra-publish.exe" "$release_win" 1.32.0 "$out_win" >/dev/null \
  || { echo "FAIL publish"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
        -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
read -r http_port https_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
"$source/deploy/serve" "$work/out" "$work/state" "$http_port" "$https_port" \
    "$work/cert.pem" "$work/key.pem" &
nginx_pid=$!
http=http://127.0.0.1:$http_port
https=https://localhost:$https_port
for _ in $(seq 1 50); do curl -s -o /dev/null "$http/" && break; sleep 0.1; done

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
check "chinese name" "中文" "$(body "$https/update/1.3/%E6%95%B0%E6%8D%AE/%E8%AF%B4%E6%98%8E.txt")"
check "no listing" 404 "$(code "$https/update/1.3/")"
check "no listing of update" 404 "$(code "$https/update/")"
check "record not served" 404 "$(code "$https/published/1.3.txt")"
check "replies not over https" 404 "$(code "$https/index3.php/Ver2Control/0/0/0")"
check "staging not served" 404 "$(code "$https/.staging/")"
check "missing file" 404 "$(code "$https/update/1.3/absent.txt")"
check "root" 404 "$(code "$https/")"
[ "$failures" -eq 0 ] || { cat "$work/state/error.log"; exit 1; }
echo "all nginx checks passed"
