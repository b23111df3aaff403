#!/usr/bin/env bash
# End-to-end run of the real updater against nginx on loopback:
#   e2e.sh BUILD_DIR SCENARIO
# The download server speaks https with a certificate authority made for this
# run and trusted only in the build's Wine prefix; the version service is http.
set -u -o pipefail
build=$1
scenario=$2
bin=$build/bin
run=$build/wine-run
built_version_port=$(grep -o '127.0.0.1:[0-9]*' "$build/generated-e2e/engine/server_hosts.h" | cut -d: -f2)
built_download_port=$(grep -o 'localhost:[0-9]*' "$build/generated-e2e/engine/server_hosts.h" | cut -d: -f2)
# Ports of this scenario's own, free now (five digits, as the built ones):
# its copies of the updater are given them, so scenarios run side by side.
read -r version_port download_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')
prefix=${WINEPREFIX:-$build/wineprefix}

work=$(mktemp -d /tmp/veldra-e2e.XXXXXX)
chmod 755 "$work"
product_name=e2e-$scenario-$$
product=$prefix/drive_c/$product_name
product_win="C:\\$product_name"
# The engine fetches through one fixed file name in the temp folder: every
# scenario's updaters have a temp folder of their own, as scenarios run side by side.
own_temp=$product-temp
own_temp_win="$product_win-temp"
updater_pid=
product_pid=
server_pids=()

cleanup() {
  [ -n "$updater_pid" ] && kill "$updater_pid" 2>/dev/null
  [ -d "$product" ] && touch "$product/release.txt"
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  rm -rf "$work" "$product" "$own_temp"
}
trap cleanup EXIT

zpath() { printf 'Z:%s' "${1//\//\\}"; }

fail() {
  echo "FAIL: $*"
  [ -f "$work/access.log" ] && { echo "--- requests"; cat "$work/access.log"; }
  [ -f "$product/updateErr.log" ] && { echo "--- updateErr.log"; cat "$product/updateErr.log"; }
  exit 1
}

# --- certificates: a throwaway authority and a server certificate for localhost
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Veldra test CA $$" \
  -keyout "$work/ca.key" -out "$work/ca.pem" >/dev/null 2>&1 || fail "CA"
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
  -keyout "$work/server.key" -out "$work/server.csr" >/dev/null 2>&1 || fail "server key"
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/server.pem" >/dev/null 2>&1 ||
  fail "server certificate"
openssl x509 -in "$work/ca.pem" -outform der -out "$work/ca.der" || fail "CA der"
"$run" "$bin/trust_ca.exe" "$(zpath "$work/ca.der")" >/dev/null 2>&1 ||
  fail "trusting the CA"

# --- a release of the product, published into the servers' tree
release_version=1.32.0
release=$work/release
mkdir -p "$release/config" "$release/data/sub" "$release/www"
# The release's main program is the stand-in with a tail of its own, so it
# differs from the one a folder already holds.
cp "$bin/veldra-test-product.exe" "$release/veldra.exe"
printf 'release %s\n' "$release_version" >>"$release/veldra.exe"
printf 'ver=%s\r\n' "$release_version" >"$release/config/config.ini"
printf 'drawing templates 1.32\r\n' >"$release/data/readme.txt"
head -c 1500000 /dev/urandom >"$release/data/sub/symbols.bin"
printf '<html>help</html>\n' >"$release/www/help.html"
"$run" "$bin/veldra-publish.exe" "$(zpath "$release")" "$release_version" \
  "$(zpath "$work/root")" >"$work/publish.log" 2>&1 ||
  { status=$?; cat "$work/publish.log"; fail "publish (exit $status)"; }

# --- nginx: https download server, http version service
start_nginx() {  # $1: "with-service" or "no-service"; $2: extra locations; $3: for both servers
  local service=""
  if [ "$1" = with-service ]; then
    service="server { listen 127.0.0.1:$version_port; root $work/root; default_type application/json; ${3:-} }"
  fi
  mkdir -p "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log $work/access.log;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  default_type application/octet-stream;
  $service
  server {
    listen 127.0.0.1:$download_port ssl;
    ssl_certificate $work/server.pem;
    ssl_certificate_key $work/server.key;
    root $work/root;
    ${3:-}
    $2
  }
}
CONF
  [ -f "$work/nginx.pid" ] && { kill "$(cat "$work/nginx.pid")"; sleep 0.5; rm -f "$work/nginx.pid"; }
  : >"$work/access.log"
  nginx -c "$work/nginx.conf" -p "$work" -e "$work/error.log" 2>"$work/nginx.err" || { cat "$work/nginx.err"; fail "nginx"; }
  for _ in $(seq 1 50); do [ -f "$work/nginx.pid" ] && break; sleep 0.1; done
}

# --- the product folder with the updater
# Copies veldraupdate_e2e$1.exe into the product with this scenario's ports in
# place of the built ones: the port digits after their colon, as text or
# UTF-16, wherever the compiler put them (the short host text may be inlined).
install_updater() {  # [_signed]
  python3 - "$bin/veldraupdate_e2e${1:-}.exe" "$product/veldraupdate.exe" \
    "$built_version_port" "$version_port" "$built_download_port" "$download_port" <<'PY' ||
import sys
source, target, *ports = sys.argv[1:]
data = open(source, "rb").read()
for built, own, encoding in ((ports[0], ports[1], "ascii"), (ports[2], ports[3], "utf-16-le")):
    old, new = (":" + built).encode(encoding), (":" + own).encode(encoding)
    if len(old) != len(new) or old not in data:
        sys.exit("no port %s to replace in %s" % (built, source))
    data = data.replace(old, new)
open(target, "wb").write(data)
PY
    fail "the updater with this scenario's ports"
}

new_product() {  # $1: installed version or empty
  rm -rf "$product"
  mkdir -p "$product/config"
  install_updater
  [ -n "$1" ] && printf 'ver=%s\r\n' "$1" >"$product/config/config.ini"
}

driver() { "$run" "$bin/ui_driver.exe" --folder "$product_win\\" "$@" 2>/dev/null | tr -d '\r'; }

start_updater() {  # [NAME=VALUE...]: the updater's environment
  mkdir -p "$own_temp"
  (cd "$product" && exec "$run" "$bin/ui_driver.exe" launch "TMP=$own_temp_win" "TEMP=$own_temp_win" "$@" -- \
    "$product_win\\veldraupdate.exe" >/dev/null 2>&1) &
  updater_pid=$!
}

# Waits for the updater to end; sets code to its exit code (or "timeout").
wait_updater() {
  code=timeout
  for _ in $(seq 1 1200); do
    if ! kill -0 "$updater_pid" 2>/dev/null; then
      wait "$updater_pid"
      code=$?
      updater_pid=
      return
    fi
    sleep 0.1
  done
}

# The product writes started.txt once it runs; it may still be starting when
# the updater has ended.
wait_started() {  # $1: the number of starts expected (default 1)
  local want=${1:-1}
  for _ in $(seq 1 300); do
    [ -f "$product/started.txt" ] && [ "$(wc -l <"$product/started.txt")" -ge "$want" ] && return 0
    sleep 0.1
  done
  fail "product not started $want times"
}

# veldra.exe is the old program or the release's, never anything in between.
product_whole() {
  cmp -s "$bin/veldra-test-product.exe" "$product/veldra.exe" ||
    cmp -s "$release/veldra.exe" "$product/veldra.exe"
}

# A loopback server that misbehaves as MODE (see misbehaving_server.py), on
# port $2 or any, serving cut copies of the files under $3; sets server_port.
start_misbehaving_server() {
  python3 "$(dirname "$0")/misbehaving_server.py" "$1" "${2:-0}" ${3:-} >"$work/$1.port" &
  server_pids+=($!)
  for _ in $(seq 1 50); do [ -s "$work/$1.port" ] && break; sleep 0.1; done
  server_port=$(head -1 "$work/$1.port")
  [ -n "$server_port" ] || fail "$1 server"
}

# Staging files anywhere in the product folder.
staging_files() {
  find "$product" -name '~tmp.*new'
}

same_as_release() {
  for f in veldra.exe config/config.ini data/readme.txt data/sub/symbols.bin www/help.html; do
    cmp -s "$release/$f" "$product/$f" || fail "$f differs from the release"
  done
  [ -z "$(staging_files)" ] || fail "a staging file was left: $(staging_files)"
}

# Starts the product in the folder and waits until it holds its own file.
start_holding_product() {
  rm -f "$product/locked.txt"
  (cd "$product" && exec "$run" "$product_win\\veldra.exe" >/dev/null 2>&1) &
  product_pid=$!
  for _ in $(seq 1 300); do [ -s "$product/locked.txt" ] && return 0; sleep 0.1; done
  fail "the product did not lock its file"
}

wait_product_end() {
  for _ in $(seq 1 300); do kill -0 "$product_pid" 2>/dev/null || return 0; sleep 0.1; done
  fail "the product did not end"
}

update_start() {
  start_updater
  driver show 30000 >"$work/show.txt" || fail "no dialog"
  driver press 1003 || fail "press start"
}

# Runs one update by pressing the start button; $1 is the expected exit code.
update_once() {
  update_start
  wait_updater
  [ "$code" = "$1" ] || fail "updater ended with $code, expected $1"
}

case "$scenario" in
  fresh)
    start_nginx with-service ""
    new_product 1.31.0
    update_once 0
    grep -q 'caption=Veldra auto update tools v1.31, location version 1.31.0. Latest version 1.32' \
      "$work/show.txt" || { cat "$work/show.txt"; fail "caption"; }
    same_as_release
    [ -f "$product/comm/file.lst" ] || fail "no local file list"
    [ ! -e "$product/~tmp.bak" ] || fail "pending file left behind"
    wait_started
    ;;
  uptodate)
    # At 1.32 the service's 132, read in single precision, is still a newer
    # version; the announced digest of veldra.exe tells that it is in place.
    start_nginx with-service ""
    new_product 1.32.0
    cp -r "$release/." "$product/"
    install_updater
    : >"$work/access.log"
    update_once 0
    wait_started
    if grep -E 'GET /update/[^ ]*(data|www|veldra\.exe|config)' "$work/access.log"; then
      fail "a current file was downloaded again"
    fi
    same_as_release
    ;;
  service-down)
    start_nginx no-service ""
    new_product 1.31.5
    start_updater
    driver show 30000 >"$work/show.txt" || fail "no dialog"
    grep -q 'caption=Veldra auto update tools v1.31, location version 1.31.5. Latest version 0.00' \
      "$work/show.txt" || { cat "$work/show.txt"; fail "caption"; }
    grep -q 'exit_enabled=0' "$work/show.txt" || fail "exit button enabled before start"
    driver press 1003 wait-status 0.00 60000 wait-enabled 1003 60000 show >"$work/show.txt" ||
      fail "start button did not come back"
    grep -q 'exit_enabled=1' "$work/show.txt" || fail "exit button not enabled by start"
    grep -q 'status=Veldra auto update toolsv1.31, current version 1.31.5. trying update to version 0.00.' \
      "$work/show.txt" || { cat "$work/show.txt"; fail "status text"; }
    [ ! -e "$product/veldra.exe" ] || fail "a product appeared"
    [ ! -e "$product/started.txt" ] || fail "something was started"
    driver press 2 wait-gone 20000 >/dev/null || fail "dialog did not end"
    wait_updater
    [ "$code" = 0 ] || fail "exit code $code"
    ;;
  broken-server)
    # Error pages for two files, bodies cut short for another and for the
    # main program, which is due as the release is newer.
    start_misbehaving_server cut-off
    start_nginx with-service "
      location /update/1.3/data/readme.txt { return 404 '<html>gone</html>'; }
      location /update/1.3/www/ { return 404 '<html>gone</html>'; }
      location /update/1.3/data/sub/ { proxy_pass http://127.0.0.1:$server_port; }
      location /update/1.0/ { proxy_pass http://127.0.0.1:$server_port; }"
    new_product 1.31.0
    cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
    mkdir -p "$product/data/sub"
    printf 'old templates\r\n' >"$product/data/readme.txt"
    printf 'old symbols\r\n' >"$product/data/sub/symbols.bin"
    update_once 0
    wait_started
    grep -q 'old templates' "$product/data/readme.txt" || fail "readme replaced by an error page"
    grep -q 'old symbols' "$product/data/sub/symbols.bin" || fail "symbols replaced by a cut-off body"
    if [ -e "$product/www/help.html" ] && grep -q gone "$product/www/help.html"; then
      fail "error page stored as help.html"
    fi
    cmp -s "$bin/veldra-test-product.exe" "$product/veldra.exe" ||
      fail "veldra.exe replaced by a cut-off body"
    [ -f "$product/updateErr.log" ] || fail "no updateErr.log"
    for f in readme.txt symbols.bin help.html; do
      grep -q "$f" "$product/updateErr.log" || fail "$f not in updateErr.log"
    done
    # Healthy again: a rerun converges.
    start_nginx with-service ""
    : >"$product/started.txt"
    update_once 0
    wait_started
    same_as_release
    [ ! -e "$product/~tmp.bak" ] || fail "pending file left behind"
    ;;
  killed)
    # The updater is killed while a slow download runs; veldra.exe stays whole.
    start_nginx with-service "location /update/1.3/data/sub/ { limit_rate 100k; }"
    new_product 1.31.0
    cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
    update_start
    # nginx logs a request once answered: after readme.txt the slow symbols.bin runs.
    for _ in $(seq 1 300); do grep -q 'readme.txt' "$work/access.log" 2>/dev/null && break
      product_whole || fail "veldra.exe torn during the update"; sleep 0.1; done
    sleep 2
    grep -q 'symbols.bin' "$work/access.log" && fail "the slow download ended too soon"
    windows_pid=$(sed -n 's/^pid=//p' "$work/show.txt")
    [ -n "$windows_pid" ] || fail "no process id of the updater"
    "$run" taskkill /f /pid "$windows_pid" >"$work/taskkill.log" 2>&1 ||
      fail "taskkill: $(cat "$work/taskkill.log")"
    wait_updater
    [ "$code" != timeout ] || fail "the updater was not killed"
    [ ! -e "$product/started.txt" ] || fail "the update finished before the kill"
    product_whole || fail "veldra.exe torn by the kill"
    start_nginx with-service ""
    : >"$product/started.txt"
    start_updater
    driver show 30000 >/dev/null || fail "no dialog on the rerun"
    driver press 1003 || fail "press start"
    for _ in $(seq 1 600); do kill -0 "$updater_pid" 2>/dev/null || break
      product_whole || fail "veldra.exe torn during the rerun"; sleep 0.1; done
    wait_updater
    [ "$code" = 0 ] || fail "the rerun ended with $code"
    wait_started
    same_as_release
    ;;
  chinese)
    start_nginx with-service ""
    new_product 1.31.0
    start_updater
    driver show 30000 >"$work/show.txt" || fail "no dialog"
    grep -q 'caption=Veldra图纸升级工具v1.31 本地版本: 1.31.0, 服务器版本:1.32' "$work/show.txt" ||
      { cat "$work/show.txt"; fail "Chinese caption"; }
    grep -q 'start=开始升级' "$work/show.txt" || fail "Chinese template"
    driver press 1003
    wait_updater
    [ "$code" = 0 ] || fail "exit code $code"
    same_as_release
    # Without the service the run ends in the dialog, its status line readable.
    start_nginx no-service ""
    new_product 1.31.0
    start_updater
    driver show 30000 >/dev/null || fail "no dialog"
    driver press 1003 wait-status 0.00 60000 wait-enabled 1003 60000 show >"$work/show.txt" || fail "second run"
    grep -q 'status=Veldra图动升级工具v1.31  本地图纸版本:1.31.0, 正在更新的图纸版本0.00' \
      "$work/show.txt" || { cat "$work/show.txt"; fail "Chinese status text"; }
    driver press 2 wait-gone 20000 >/dev/null || fail "dialog did not end"
    wait_updater
    [ "$code" = 0 ] || fail "exit code $code"
    ;;
  temp-folder)
    # A temp folder that the system's code page cannot name.
    case "${LC_ALL:-${LANG:-}}" in
      zh_*) temp_name='데이터ő' ;;
      *) temp_name='数据' ;;
    esac
    user_temp=$prefix/drive_c/users/$(id -un)/Temp
    temp_win="C:\\users\\$(id -un)\\Temp\\$temp_name"
    mkdir -p "$user_temp/$temp_name"
    start_nginx with-service ""
    new_product 1.31.0
    start_updater "TMP=$temp_win" "TEMP=$temp_win"
    driver show 30000 >"$work/show.txt" || fail "no dialog"
    grep -q '^caption=.*1\.32$' "$work/show.txt" || { cat "$work/show.txt"; fail "reply not read"; }
    driver press 1003 || fail "press start"
    wait_updater
    [ "$code" = 0 ] || fail "updater ended with $code"
    same_as_release
    [ -z "$(ls -A "$user_temp/$temp_name")" ] || fail "left in the temp folder: $(ls -A "$user_temp/$temp_name")"
    [ -z "$(find "$user_temp" -name '~veldraupdate.*')" ] ||
      fail "a fetch's temp file left: $(find "$user_temp" -name '~veldraupdate.*')"
    rm -rf "${user_temp:?}/$temp_name"
    ;;
  silent-service|unreachable-service)
    # A version service that accepts and never answers, or whose connection is
    # never completed: the dialog still comes, and a run still ends.
    mode=stall
    [ "$scenario" = unreachable-service ] && mode=backlog
    start_misbehaving_server "$mode" "$version_port"
    start_nginx no-service ""
    new_product 1.31.0
    cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
    start_updater
    driver show 30000 >"$work/show.txt" || fail "no dialog within 30 seconds"
    grep -q 'Latest version 0.00' "$work/show.txt" || { cat "$work/show.txt"; fail "caption"; }
    # The run's own check waits for the service: the start button stays off.
    driver press 1003 wait-status 'Updating, Please wait' 10000 show >"$work/during.txt" ||
      fail "the run did not start"
    grep -q 'start_enabled=0' "$work/during.txt" || fail "start button enabled during the run"
    grep -q 'exit_enabled=1' "$work/during.txt" || fail "exit button not enabled by the start"
    wait_updater
    [ "$code" = 0 ] || fail "updater ended with $code"
    grep -q 'GET /update/0.0/comm/file.lst' "$work/access.log" || fail "no file list asked for"
    wait_started
    ;;
  stalled-body)
    # One file stalls halfway: it keeps its content, the files after it come.
    start_misbehaving_server stall-body
    start_nginx with-service "
      location /update/1.3/data/sub/ { proxy_pass http://127.0.0.1:$server_port; }"
    new_product 1.31.0
    cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
    mkdir -p "$product/data/sub"
    printf 'old symbols\r\n' >"$product/data/sub/symbols.bin"
    update_once 0
    wait_started
    grep -q 'old symbols' "$product/data/sub/symbols.bin" || fail "symbols.bin replaced"
    grep -aq 'down err (-3)Jsomd5: [0-9A-F]*,fileName: data\\sub\\symbols.bin' \
      "$product/updateErr.log" || fail "symbols.bin not logged with -3"
    cmp -s "$release/www/help.html" "$product/www/help.html" || fail "the file after it not fetched"
    cmp -s "$release/veldra.exe" "$product/veldra.exe" || fail "the main program not fetched"
    ;;
  hostile-replies)
    # Whatever the version service sends, the dialog comes with the caption of
    # an unusable reply, and the next healthy reply is used.
    start_nginx with-service ""
    replies=$work/root/index3.php/Ver2Control/0/0
    cp "$replies/0" "$work/healthy.reply"
    mkdir -p "$work/hostile"
    python3 - "$work/hostile" "$work/healthy.reply" <<'PY'
import sys
out, healthy = sys.argv[1], open(sys.argv[2], 'rb').read()
bodies = {
    'nested-arrays': b'[' * 1200 + b']' * 1200,
    'nested-objects': b'{"a":' * 1200 + b'1' + b'}' * 1200,
    'ten-megabytes': healthy[:-1] + b',"pad":"' + b'x' * (10 << 20) + b'"}',
    'long-number': b'{"status":3431,"lastVer":' + b'9' * 400 + b'}',
    'invalid-utf8': healthy.replace(b'"lastVer"', b'\xff\xfe"lastVer"'),
    'nul-bytes': b'\0\0' + healthy,
    'byte-order-mark': b'\xef\xbb\xbf' + healthy,
}
for name, body in bodies.items():
    open(out + '/' + name, 'wb').write(body)
PY
    for body in "$work"/hostile/*; do
      cp "$body" "$replies/0"
      cp "$body" "$replies/1"
      new_product 1.31.0
      start_updater
      driver show 30000 >"$work/show.txt" || fail "no dialog for $(basename "$body")"
      grep -q 'Latest version 0.00' "$work/show.txt" ||
        { cat "$work/show.txt"; fail "caption for $(basename "$body")"; }
      driver press 2 wait-gone 20000 >/dev/null || fail "dialog did not end"
      wait_updater
      [ "$code" = 0 ] || fail "$(basename "$body"): exit code $code"
    done
    cp "$work/healthy.reply" "$replies/0"
    cp "$work/healthy.reply" "$replies/1"
    new_product 1.31.0
    update_once 0
    same_as_release
    ;;
  interrupted-closed|interrupted-killed)
    # A run of large files ended at seven moments, by closing the dialog (the
    # process ends at once) or by TerminateProcess: two by the clock, two while
    # a staging file is written, one just after each kind of destination took
    # its place (a large file, a file in a subfolder) and one once the pending
    # program is written. The two scenarios pick different clock times, files
    # and delays, so together they end runs where twenty rounds of one did.
    # Every listed file and veldra.exe then holds its old bytes or the new
    # ones, and a further run converges and leaves no temporary file.
    mkdir -p "$release/big"
    # The first is large enough for its write to last a while.
    head -c 24000000 /dev/urandom >"$release/big/b1.bin"
    for i in 2 3; do head -c 4000000 /dev/urandom >"$release/big/b$i.bin"; done
    "$run" "$bin/veldra-publish.exe" "$(zpath "$release")" "$release_version" \
      "$(zpath "$work/root")" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish"; }
    old=$work/old
    mkdir -p "$old/data/sub" "$old/big"
    cp "$bin/veldra-test-product.exe" "$old/veldra.exe"
    printf 'old templates\r\n' >"$old/data/readme.txt"
    head -c 1000000 /dev/urandom >"$old/data/sub/symbols.bin"
    for i in 1 2 3; do head -c 3000000 /dev/urandom >"$old/big/b$i.bin"; done
    files="veldra.exe data/readme.txt data/sub/symbols.bin www/help.html big/b1.bin big/b2.bin big/b3.bin"
    old_or_new() {  # $1: a listed path; a file missing before may be left empty
      local f=$product/$1
      if [ -e "$old/$1" ]; then cmp -s "$old/$1" "$f" && return 0
      elif [ ! -s "$f" ]; then return 0; fi
      cmp -s "$release/$1" "$f"
    }
    staging="wait-change $product_win\\comm\\file.lst 30000 wait-file $product_win\\big\\~tmp.*.new 30000 sleep"
    changed="wait-change $product_win"
    if [ "$scenario" = interrupted-closed ]; then
      end="press 2"
      moments=("sleep 20" "sleep 260" "$staging 0" "$staging 6" "$changed\\big\\b1.bin 30000")
    else
      end=kill
      moments=("sleep 140" "sleep 380" "$staging 2" "$staging 10" "$changed\\big\\b2.bin 30000")
    fi
    moments+=("$changed\\data\\sub\\symbols.bin 30000" "$changed\\~tmp.bak 30000")
    rounds=${#moments[@]}
    start_nginx with-service ""
    hits=0
    outlived=0
    for round in $(seq 0 $((rounds - 1))); do
      moment=${moments[$round]}
      new_product 1.31.0
      cp -r "$old/." "$product/"
      start_updater
      driver show 30000 >/dev/null || fail "round $round: no dialog"
      # shellcheck disable=SC2086
      cut=1
      if ! driver press 1003 $moment $end >"$work/round.txt"; then
        # A run quicker than a moment by the clock simply ends: nothing was cut.
        case $moment in sleep*) ;; *) cat "$work/round.txt"; fail "round $round: $moment" ;; esac
        grep -q 'FAILED press\|FAILED kill' "$work/round.txt" || fail "round $round: $moment"
        outlived=$((outlived + 1)); cut=0
      fi
      wait_updater
      [ "$code" != timeout ] || fail "round $round: the updater did not end"
      [ "$end" = kill ] || [ "$code" = 0 ] || fail "round $round: exit code $code"
      # Past the moment the rest of a run can be quicker than the close or
      # the kill: then it ended whole, also not a cut.
      if [ "$cut" = 1 ] && [ -e "$product/started.txt" ]; then
        outlived=$((outlived + 1)); cut=0
      fi
      for f in $files; do old_or_new "$f" || fail "round $round ($moment): $f torn"; done
      [ -n "$(staging_files)" ] && hits=$((hits + 1))
      if [ -s "$product/~tmp.bak" ]; then
        cmp -s "$release/veldra.exe" "$product/~tmp.bak" || fail "round $round: ~tmp.bak torn"
      fi
      : >"$product/started.txt"
      update_once 0
      wait_started
      same_as_release
      for f in big/b1.bin big/b2.bin big/b3.bin; do
        cmp -s "$release/$f" "$product/$f" || fail "round $round: $f not converged"
      done
      [ -z "$(staging_files)" ] || fail "round $round: a staging file left"
    done
    echo "rounds ended while a staging file was being written: $hits of $rounds"
    echo "runs that ended before their moment: $outlived of $rounds"
    [ "$outlived" -le 2 ] || fail "too few runs were interrupted"
    ;;
  gzip)
    # A server that compresses: bodies come with Content-Encoding gzip and the
    # length of the compressed body.
    find "$work/root" -type f -exec gzip -k -9 {} \;
    start_nginx with-service "" "gzip_static on;"
    encoding=$(curl -s -o /dev/null -D - -H 'Accept-Encoding: gzip' \
      "http://127.0.0.1:$version_port/index3.php/Ver2Control/0/0/0" | tr -d '\r' |
      grep -i '^content-encoding:')
    [ -n "$encoding" ] || fail "the reply is not sent compressed"
    new_product 1.31.0
    update_once 0
    grep -q 'Latest version 1.32' "$work/show.txt" || { cat "$work/show.txt"; fail "caption"; }
    same_as_release
    wait_started
    ;;
  languages)
    # The system's language picks the dialog template: Chinese for Chinese,
    # English for every other language.
    new_product 1.31.0
    for locale in zh_CN.UTF-8 en_US.UTF-8 en_GB.UTF-8 ja_JP.UTF-8; do
      LANG=$locale LC_ALL=$locale start_updater
      driver show 30000 >"$work/show.txt" 2>/dev/null || fail "no dialog for $locale"
      expected='start=Start Update'
      [ "$locale" = zh_CN.UTF-8 ] && expected='start=开始升级'
      grep -qx "$expected" "$work/show.txt" || { cat "$work/show.txt"; fail "template for $locale"; }
      driver press 2 wait-gone 20000 >/dev/null || fail "dialog did not end"
      wait_updater
      [ "$code" = 0 ] || fail "$locale: exit code $code"
    done
    ;;
  signed)
    # An updater built with the publisher's key takes only what that key
    # signed: a missing, empty, cut or foreign signature, or a list changed
    # after signing, leaves the local list, the pending file and veldra.exe
    # as they were; the next correctly signed release converges.
    here=$(cd "$(dirname "$0")" && pwd)
    list=$work/root/update/1.3/comm/file.lst
    program=$work/root/update/1.0/veldra.exe
    cp "$list" "$work/file.lst.published"
    cp "$program" "$work/program.published"
    sign_with() {  # KEY: both files signed as published
      cp "$work/file.lst.published" "$list"
      cp "$work/program.published" "$program"
      for f in "$list" "$program"; do
        openssl dgst -sha256 -sign "$1" -out "$f.sig" "$f" || fail "openssl sign"
      done
    }
    start_nginx with-service ""
    for case in missing empty cut foreign changed; do
      sign_with "$here/release_test_key.pem"
      case $case in
        missing) rm -f "$list.sig" "$program.sig" ;;
        empty) : >"$list.sig"; : >"$program.sig" ;;
        cut) for f in "$list" "$program"; do head -c 20 "$f.sig" >"$f.cut"; mv "$f.cut" "$f.sig"; done ;;
        foreign) sign_with "$here/foreign_test_key.pem" ;;
        changed)
          printf 'www/extra.txt=0123456789ABCDEF0123456789ABCDEF=5\r\n' >>"$list"
          printf 'changed after signing' >>"$program" ;;
      esac
      new_product 1.31.0
      install_updater _signed
      cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
      mkdir -p "$product/comm"
      printf 'verified earlier\r\n' >"$product/comm/file.lst"
      update_once 0
      wait_started
      [ "$(cat "$product/comm/file.lst")" = $'verified earlier\r' ] || fail "$case: list taken"
      [ ! -e "$product/~tmp.bak" ] || fail "$case: ~tmp.bak from an unsigned program"
      cmp -s "$bin/veldra-test-product.exe" "$product/veldra.exe" || fail "$case: veldra.exe replaced"
      [ ! -e "$product/data/readme.txt" ] || fail "$case: files of an unsigned list fetched"
    done
    # Published again, signed by the publisher: taken.
    cp "$work/file.lst.published" "$list"
    cp "$work/program.published" "$program"
    "$run" "$bin/veldra-publish.exe" "$(zpath "$release")" "$release_version" \
      "$(zpath "$work/root")" --sign "$(zpath "$here/release_test_key.pem")" \
      >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "signed publish"; }
    openssl dgst -sha256 -verify "$here/release_test_key.pub.pem" -signature "$list.sig" \
      "$list" >/dev/null || fail "the publisher's list signature"
    : >"$product/started.txt"
    update_once 0
    wait_started
    same_as_release
    # A server that swaps a listed DLL and a listed text for other bytes of
    # the same size under the genuine signed list: a signed build keeps both
    # files as they are and logs -1002; a build without a key writes them.
    mkdir -p "$release/bin"
    head -c 4096 /dev/urandom >"$release/bin/a.dll"
    "$run" "$bin/veldra-publish.exe" "$(zpath "$release")" "$release_version" \
      "$(zpath "$work/root")" --sign "$(zpath "$here/release_test_key.pem")" \
      >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "signed publish with a DLL"; }
    update_once 0
    cmp -s "$release/bin/a.dll" "$product/bin/a.dll" || fail "a.dll not fetched"
    head -c 4096 /dev/urandom >"$work/root/update/1.3/bin/a.dll"
    printf 'DRAWING TEMPLATES 1.32\r\n' >"$work/root/update/1.3/data/readme.txt"
    for build_kind in signed unsigned; do
      chmod u+w "$product/bin/a.dll" 2>/dev/null; rm -f "$product/bin/a.dll"
      printf 'local dll' >"$product/bin/a.dll"
      printf 'local text' >"$product/data/readme.txt"
      rm -f "$product/www/help.html" "$product/updateErr.log"
      : >"$product/started.txt"
      if [ $build_kind = signed ]; then
        update_once 0
        [ "$(cat "$product/bin/a.dll")" = 'local dll' ] || fail "signed: a.dll replaced"
        [ "$(cat "$product/data/readme.txt")" = 'local text' ] || fail "signed: readme replaced"
      else
        install_updater
        update_once 0
        cmp -s "$work/root/update/1.3/bin/a.dll" "$product/bin/a.dll" || fail "unsigned: a.dll kept"
        cmp -s "$work/root/update/1.3/data/readme.txt" "$product/data/readme.txt" ||
          fail "unsigned: readme kept"
      fi
      [ "$(grep -ac 'down err (-1002)' "$product/updateErr.log")" = 2 ] || fail "$build_kind: log"
      grep -aq 'a.dll' "$product/updateErr.log" || fail "$build_kind: a.dll not logged"
      grep -aq 'readme.txt' "$product/updateErr.log" || fail "$build_kind: readme not logged"
      cmp -s "$release/www/help.html" "$product/www/help.html" || fail "$build_kind: others"
      [ -z "$(staging_files)" ] || fail "$build_kind: a staging file left"
      wait_started
    done
    # The release statement binds the announced number, the version, the list
    # and every byte to one signature: a signed build refuses a replayed,
    # expired or mismatched one and keeps its list, statement and files.
    install_updater _signed
    key=$(zpath "$here/release_test_key.pem")
    comm=$work/root/update/1.3/comm
    replies=$work/root/index3.php/Ver2Control/0/0
    publish_to() {  # OUTPUT RELEASE VERSION [ARGS...]
      "$run" "$bin/veldra-publish.exe" "$(zpath "$2")" "$3" "$(zpath "$1")" --sign "$key" "${@:4}" \
        >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish $3"; }
    }
    announce() {  # STATUS LASTVER
      for l in 0 1; do printf '{"status":%s,"lastVer":%s}' "$1" "$2" >"$replies/$l"; done
    }
    sign() { openssl dgst -sha256 -sign "$here/release_test_key.pem" -out "$1.sig" "$1" || fail sign; }
    restore() {
      rm -rf "$comm" "$replies"
      cp -r "$work/comm.132" "$comm"
      cp -r "$work/replies.132" "$replies"
    }
    run_once() { : >"$product/started.txt"; update_once 0; wait_started; }
    refused() {  # CASE
      cp "$product/comm/file.lst" "$work/list.kept"
      cp "$product/comm/release.txt" "$work/statement.kept"
      printf 'local text' >"$product/data/readme.txt"
      run_once
      cmp -s "$work/list.kept" "$product/comm/file.lst" || fail "$1: list taken"
      cmp -s "$work/statement.kept" "$product/comm/release.txt" || fail "$1: statement taken"
      [ "$(cat "$product/data/readme.txt")" = 'local text' ] || fail "$1: readme.txt replaced"
    }
    converges() {  # CASE
      run_once
      cmp -s "$comm/release.txt" "$product/comm/release.txt" || fail "$1: statement not kept"
      same_as_release
    }
    publish_to "$work/root" "$release" 1.32.0 --expires-in 30
    converges "signed 1.32.0"
    grep -q $'^expires=20[0-9-]*T[0-9:]*Z\r$' "$product/comm/release.txt" || fail "no expiry"
    cp -r "$comm" "$work/comm.132"
    cp -r "$replies" "$work/replies.132"
    # An older release replayed with its genuine list, and a number not stated.
    cp -r "$release" "$work/release120"
    printf 'drawing templates 1.20\r\n' >"$work/release120/data/readme.txt"
    publish_to "$work/old" "$work/release120" 1.20.0
    cp -r "$work/old/update/1.2" "$work/root/update/1.2"
    announce 3431 120
    refused "replayed 1.20.0"
    announce 3431 133
    refused "lastVer 133 under a statement of 132"
    restore
    sed -i 's/^expires=.*\r$/expires=2020-01-01T00:00:00Z\r/' "$comm/release.txt"
    sign "$comm/release.txt"
    refused "expired"
    restore
    cp "$work/old/update/1.2/comm/file.lst" "$work/old/update/1.2/comm/file.lst.sig" "$comm/"
    refused "genuine older list under the newer statement"
    # A list line whose MD5 is that of other bytes, signed and stated: the
    # stated SHA-256 still keeps them out.
    restore
    printf 'collided bytes\r\n' >"$work/root/update/1.3/data/readme.txt"
    md5=$(md5sum <"$work/root/update/1.3/data/readme.txt" | cut -c1-32 | tr a-f A-F)
    sed -i "s/^\(data.readme.txt=\)[^=]*=[0-9]*/\1$md5=16/" "$comm/file.lst"
    sign "$comm/file.lst"
    sed -i "s/^list-sha256=.*\r\$/list-sha256=$(sha256sum <"$comm/file.lst" | cut -c1-64)\r/" \
      "$comm/release.txt"
    sign "$comm/release.txt"
    printf 'local text' >"$product/data/readme.txt"
    rm -f "$product/updateErr.log"
    run_once
    [ "$(cat "$product/data/readme.txt")" = 'local text' ] || fail "MD5 alone took readme.txt"
    grep -aq 'down err (-1002).*readme.txt' "$product/updateErr.log" || fail "readme.txt not logged"
    cp "$release/data/readme.txt" "$work/root/update/1.3/data/readme.txt"
    # A rollback issued later is taken; replayed after a newer release, refused.
    restore
    sleep 1
    publish_to "$work/root" "$release" 1.31.0 --rollback --replace
    converges "rollback to 1.31.0"
    grep -q '^version=1.31.0' "$product/comm/release.txt" || fail "rollback not kept"
    cp -r "$comm" "$work/comm.rollback"
    sleep 1
    publish_to "$work/root" "$release" 1.32.0 --replace
    converges "1.32.0 after the rollback"
    rm -rf "$comm"
    cp -r "$work/comm.rollback" "$comm"
    announce 3431 131
    refused "older rollback replayed"
    # On 2.0.0, a forced reply for 1.32 brings its validly signed veldra.exe,
    # which the accepted statement does not name: it is not swapped in.
    release2=$work/release2
    cp -r "$release" "$release2"
    printf 'ver=2.0.0\r\n' >"$release2/config/config.ini"
    printf 'release 2\n' >>"$release2/veldra.exe"
    publish_to "$work/root" "$release2" 2.0.0
    run_once
    cmp -s "$release2/veldra.exe" "$product/veldra.exe" || fail "2.0.0 not taken"
    restore
    announce 3432 132
    refused "1.32 announced on 2.0.0"
    cmp -s "$release2/veldra.exe" "$product/veldra.exe" || fail "veldra.exe of 1.32 swapped in"
    ;;
  unframed)
    # Bodies cut short where nothing tells it: in chunks without the last,
    # empty one, or without any length and ended by the close. Neither the
    # list nor the main program is taken; a body whose announced length does
    # not hold (in an encoding nobody decodes) replaces nothing either. The
    # next whole fetch converges.
    for mode in chunked-cut close-cut foo-cut; do
      start_misbehaving_server "$mode" 0 "$work/root"
      proxy="proxy_pass http://127.0.0.1:$server_port; proxy_http_version 1.1; proxy_buffering off;"
      [ "$mode" = close-cut ] && proxy="$proxy chunked_transfer_encoding off;"
      listed=/update/1.3/comm/file.lst
      [ "$mode" = foo-cut ] && listed=/update/1.3/data/sub/symbols.bin
      start_nginx with-service "
        location = $listed { $proxy }
        location = /update/1.0/veldra.exe { $proxy }"
      new_product 1.31.0
      cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
      mkdir -p "$product/comm" "$product/data/sub"
      printf 'earlier list\r\n' >"$product/comm/file.lst"
      printf 'old symbols\r\n' >"$product/data/sub/symbols.bin"
      update_once 0
      wait_started
      grep -q "GET /update/1.0/veldra.exe" "$work/access.log" || fail "$mode: program not asked for"
      cmp -s "$bin/veldra-test-product.exe" "$product/veldra.exe" || fail "$mode: veldra.exe replaced"
      [ ! -s "$product/~tmp.bak" ] || fail "$mode: a cut program became ~tmp.bak"
      grep -q 'old symbols' "$product/data/sub/symbols.bin" || fail "$mode: symbols.bin replaced"
      if [ "$mode" = foo-cut ]; then
        grep -aq 'down err (-3).*symbols.bin' "$product/updateErr.log" ||
          fail "$mode: symbols.bin not logged with -3"
      else
        [ "$(cat "$product/comm/file.lst")" = $'earlier list\r' ] || fail "$mode: cut list taken"
      fi
      start_nginx with-service ""
      : >"$product/started.txt"
      update_once 0
      wait_started
      same_as_release
      [ ! -e "$product/~tmp.bak" ] || fail "$mode: pending file left behind"
      kill "${server_pids[-1]}" 2>/dev/null
    done
    ;;
  links)
    # Wine shows a host symbolic link to a folder as a reparse point, and one
    # to a file as a plain file. A listed path through a linked folder is
    # refused like a traversal; a listed file that is a link is replaced by a
    # file of its own, its target left as it was.
    start_nginx with-service ""
    new_product 1.31.0
    outside=$prefix/drive_c/e2e-outside-$$
    rm -rf "$outside"; mkdir -p "$outside/sub" "$product/data" "$product/www"
    printf 'outside symbols\r\n' >"$outside/sub/symbols.bin"
    printf 'outside help\r\n' >"$outside/help.html"
    ln -s "$outside/sub" "$product/data/sub"
    ln -s "$outside/help.html" "$product/www/help.html"
    update_once 0
    wait_started
    [ "$(ls "$outside/sub")" = symbols.bin ] || fail "written through the linked folder: $(ls "$outside/sub")"
    [ "$(cat "$outside/sub/symbols.bin")" = $'outside symbols\r' ] || fail "symbols.bin written through the link"
    [ "$(cat "$outside/help.html")" = $'outside help\r' ] || fail "the link's target written"
    [ ! -L "$product/www/help.html" ] || fail "help.html still a link"
    for f in veldra.exe data/readme.txt www/help.html; do
      cmp -s "$release/$f" "$product/$f" || fail "$f differs from the release"
    done
    if grep -q 'data/sub' "$work/access.log"; then fail "a file through the linked folder fetched"; fi
    rm -rf "$outside"
    ;;
  huge-list)
    # A list of 300 MB: given up unread, the run goes on with the previous one.
    start_nginx with-service ""
    new_product 1.31.0
    mkdir -p "$product/comm"
    cp "$work/root/update/1.3/comm/file.lst" "$product/comm/file.lst"
    cp "$product/comm/file.lst" "$work/file.lst.previous"
    truncate -s 300M "$work/root/update/1.3/comm/file.lst"
    update_once 0
    wait_started
    cmp -s "$work/file.lst.previous" "$product/comm/file.lst" || fail "the previous list not kept"
    same_as_release
    ;;
  locked)
    # The old product holds its own file while the new version comes in.
    start_nginx with-service ""
    new_product 1.31.0
    cp "$bin/veldra-test-product.exe" "$product/veldra.exe"
    printf '120000' >"$product/hold.txt"
    start_holding_product
    update_start
    driver wait-box Veldra 60000 >"$work/box.txt" || fail "no message box"
    # The program started after No must not hold the file again.
    rm -f "$product/hold.txt"
    driver answer Veldra no 5000 >/dev/null || fail "answering No"
    grep -q 'box_caption=Veldra' "$work/box.txt" || fail "message box caption"
    grep -q 'veldra.exe' "$work/box.txt" || fail "message box names the product"
    wait_updater
    [ "$code" = 0 ] || fail "after No the updater ended with $code"
    cmp -s "$bin/veldra-test-product.exe" "$product/veldra.exe" || fail "No replaced the product"
    wait_started 2
    # Yes once the product has ended: the new program is swapped in.
    touch "$product/release.txt"
    wait_product_end
    rm -f "$product/release.txt"
    : >"$product/started.txt"
    printf '120000' >"$product/hold.txt"
    start_holding_product
    update_start
    driver wait-box Veldra 60000 >/dev/null || fail "no message box the second time"
    rm -f "$product/hold.txt"
    touch "$product/release.txt"
    wait_product_end
    driver answer Veldra yes 5000 >/dev/null || fail "answering Yes"
    wait_updater
    [ "$code" = 0 ] || fail "after Yes the updater ended with $code"
    cmp -s "$release/veldra.exe" "$product/veldra.exe" || fail "Yes did not replace the product"
    [ ! -e "$product/~tmp.bak" ] || fail "pending file left behind"
    wait_started 2
    ;;
  delta)
    # A release whose changed files come as patches against the copies the
    # product holds; every patch that cannot be used, and every index that
    # cannot be read, only makes its files come whole.
    here=$(cd "$(dirname "$0")" && pwd)
    old=$work/old-release
    cp -r "$release" "$old"
    cp "$bin/veldra-test-product.exe" "$old/veldra.exe"
    printf 'release 1.31.0\n' >>"$old/veldra.exe"
    printf 'ver=1.31.0\r\n' >"$old/config/config.ini"
    edit() {  # FILE: a few bytes changed here and there
      for at in 1000 90000 250000; do
        printf 'edited' | dd of="$1" bs=1 seek=$at conv=notrunc status=none
      done
    }
    edit "$old/data/sub/symbols.bin"
    extras="corrupt cut missing other edited"
    for f in $extras; do
      head -c 300000 /dev/urandom >"$release/data/f-$f.bin"
      cp "$release/data/f-$f.bin" "$old/data/f-$f.bin"
      edit "$old/data/f-$f.bin"
    done
    publish() {  # VERSION FOLDER [OPTIONS...]
      local version=$1 folder=$2
      shift 2
      "$run" "$bin/veldra-publish.exe" "$(zpath "$folder")" "$version" "$(zpath "$work/root")" \
        --replace "$@" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish $version"; }
    }
    rm -rf "$work/root"
    publish 1.31.0 "$old"
    publish 1.32.0 "$release"
    grep -q 'patches from earlier releases: 6 lines' "$work/publish.log" || { cat "$work/publish.log"; fail "patches"; }
    served=$work/root/update/1.3
    index=$served/comm/delta.lst
    cp "$index" "$work/delta.lst.published"
    patch_of() {  # NAME below data (a pattern: "." for the separator): its patch file
      local line
      line=$(grep -a "^data.$1=" "$index" | tr -d '\r')
      [ -n "$line" ] || fail "no patch for $1"
      IFS='=' read -r _ new old_md5 _ <<<"$line"
      printf '%s/comm/delta/%s-%s.zst' "$served" "$old_md5" "$new"
    }
    damage_patches() {
      local p
      p=$(patch_of f-corrupt.bin)
      printf 'damaged' | dd of="$p" bs=1 seek=40 conv=notrunc status=none
      p=$(patch_of f-cut.bin)
      head -c 60 "$p" >"$p.cut" && mv "$p.cut" "$p"
      rm -f "$(patch_of f-missing.bin)"
      # Other bytes of the same size, the index naming the patch's true size.
      p=$(patch_of f-other.bin)
      cp "$release/data/f-other.bin" "$work/other.bin"
      printf 'X' | dd of="$work/other.bin" bs=1 seek=7 conv=notrunc status=none
      zstd -q -f -19 --patch-from="$old/data/f-other.bin" "$work/other.bin" -o "$p" 2>/dev/null || fail "zstd"
      sed -i "s/^\(data.f-other.bin=[^=]*=[^=]*=\)[0-9]*/\1$(stat -c %s "$p")/" "$index"
    }
    from_old() {  # the product as 1.31.0 left it, one file edited by its user
      new_product 1.31.0
      cp -r "$old/." "$product/"
      printf 'user edit' >>"$product/data/f-edited.bin"
      : >"$work/access.log"
    }
    fetched() { grep -c "GET /update/1.3/$1 " "$work/access.log"; }
    converged() {  # LABEL
      same_as_release
      for f in $extras; do
        cmp -s "$release/data/f-$f.bin" "$product/data/f-$f.bin" || fail "$1: f-$f.bin differs"
      done
      [ ! -e "$product/updateErr.log" ] || fail "$1: errors logged"
      [ "$(fetched comm/delta.lst)" = 1 ] || fail "$1: the index fetched $(fetched comm/delta.lst) times"
    }
    damage_patches
    start_nginx with-service ""
    from_old
    update_once 0
    wait_started
    converged patches
    [ "$(fetched data/sub/symbols.bin)" = 0 ] || fail "symbols.bin fetched whole"
    [ "$(grep -c 'GET /update/1.3/comm/delta/.*zst' "$work/access.log")" = 5 ] ||
      fail "patches fetched: want symbols, corrupt, cut, missing, other"
    for f in $extras; do
      [ "$(fetched data/f-$f.bin)" = 1 ] || fail "f-$f.bin not fetched whole"
    done
    # Indexes that cannot be read whole or in part: the same files, more of them whole.
    for kind in garbage huge sizes; do
      case $kind in
        garbage) head -c 20000 /dev/urandom >"$index" ;;
        huge) yes 'data\sub\symbols.bin=0123456789ABCDEF0123456789ABCDEF=0123456789ABCDEF0123456789ABCDEF=100' |
                head -c $((9 << 20)) >"$index" ;;
        sizes) sed -e '/symbols/s/=[0-9]*\r$/=999999999999\r/' -e '1s/=[0-9]*\r$/=0\r/' \
                 "$work/delta.lst.published" >"$index" ;;
      esac
      from_old
      update_once 0
      wait_started
      converged "$kind index"
      [ "$(fetched data/sub/symbols.bin)" = 1 ] || fail "$kind index: symbols.bin not fetched whole"
    done
    # A signed build takes a rebuilt file only with the verified list's
    # digest: a patch and an index line naming other bytes leave the patch
    # unused, and the genuine patches are taken.
    publish 1.32.0 "$release" --sign "$(zpath "$here/release_test_key.pem")"
    cp "$release/data/sub/symbols.bin" "$work/other.bin"
    printf 'X' | dd of="$work/other.bin" bs=1 seek=7 conv=notrunc status=none
    other_md5=$(md5sum <"$work/other.bin" | cut -c1-32 | tr a-f A-F)
    zstd -q -f -19 --long=27 --patch-from="$old/data/sub/symbols.bin" "$work/other.bin" \
      -o "$work/other.zst" 2>/dev/null || fail "zstd"
    IFS='=' read -r _ _ symbols_old _ <<<"$(grep -a '^data.sub.symbols.bin=' "$index")"
    cp "$work/other.zst" "$served/comm/delta/$symbols_old-$other_md5.zst"
    sed -i "s/^\(data.sub.symbols.bin=\)[^=]*=\([^=]*\)=[0-9]*/\1$other_md5=\2=$(stat -c %s "$work/other.zst")/" "$index"
    from_old
    install_updater _signed
    update_once 0
    wait_started
    converged signed
    [ "$(fetched data/sub/symbols.bin)" = 1 ] || fail "signed: symbols.bin not fetched whole"
    [ "$(fetched "comm/delta/$symbols_old-$other_md5.zst")" = 0 ] || fail "signed: a patch to other bytes fetched"
    [ "$(fetched data/f-cut.bin)" = 0 ] || fail "signed: genuine patch not used"
    ;;
  *)
    fail "unknown scenario $scenario"
    ;;
esac
[ -f "$product/updateErr.log" ] && { echo "--- updateErr.log"; cat "$product/updateErr.log"; }
echo "PASS $scenario"
