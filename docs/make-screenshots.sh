#!/usr/bin/env bash
# Screenshots of the real dialog for the README: docs/dialog-en.png and
# docs/dialog-zh.png, made in Wine's virtual desktop (which draws captions) on
# a private Xvfb display.
#   docs/make-screenshots.sh BUILD_DIR
# BUILD_DIR holds bin/veldraupdate_e2e.exe; no version service listens on its
# loopback port, so the caption shows the server version as 0.00.
set -eu
build=$(cd "$1" && pwd)
docs=$(cd "$(dirname "$0")" && pwd)
display=:$(( 400 + $$ % 100 ))
prefix=${WINEPREFIX:-$build/wineprefix}
product_name=Veldra
product=$prefix/drive_c/$product_name
width=720
height=300

Xvfb "$display" -screen 0 ${width}x${height}x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$product"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -S "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

export DISPLAY=$display
"$build/wine-run" start

mkdir -p "$product/config"
cp "$build/bin/veldraupdate_e2e.exe" "$product/veldraupdate.exe"
printf 'ver=1.31.5\r\n' >"$product/config/config.ini"
"$build/wine-run" own "$product"

shoot() {  # $1: locale, $2: output file
  (cd "$product" && LANG=$1 LC_ALL=$1 exec "$build/wine-run" explorer \
    "/desktop=veldra,${width}x${height}" "C:\\$product_name\\veldraupdate.exe" >/dev/null 2>&1) &
  local runner=$!
  # The dialog opens after its version check; a few seconds are ample.
  sleep 6
  import -display "$display" -window root "$2"
  LANG=$1 LC_ALL=$1 "$build/wine-run" taskkill /f /im veldraupdate.exe >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do kill -0 "$runner" 2>/dev/null || break; sleep 0.1; done
  kill "$runner" 2>/dev/null || true
}

shoot en_US.UTF-8 "$docs/dialog-en.png"
shoot zh_CN.UTF-8 "$docs/dialog-zh.png"
"$build/wine-run" stop
echo "wrote $docs/dialog-en.png and $docs/dialog-zh.png"
