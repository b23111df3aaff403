# Shared by the benchmark scripts (sourced, not run). Expects $build.

# A work folder that the Wine user can read and write. As root, Wine runs as a
# plain user (see build/wine-run), so what a root script makes is handed over.
bench_workdir() {  # $1: name
  local dir
  dir=$(mktemp -d "/tmp/$1.XXXXXX")
  chmod 755 "$dir"
  printf '%s' "$dir"
}
hand_over() { "$build/wine-run" own "$@"; }

# A unix path as Wine sees it (Z: is the unix root).
win() { printf 'Z:%s' "${1//\//\\}"; }

now() { date +%s.%N; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.3f", b - a}'; }

# value KEY TEXT: the value of the line "KEY value" in a driver's output.
value() { awk -v k="$1" '$1 == k {print $2}' <<<"$2"; }

# median N...: the middle of the numbers (mean of the two middle ones for an
# even count).
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2];
                           else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
minimum() { printf '%s\n' "$@" | sort -g | head -n 1; }
round2() { awk -v v="$1" 'BEGIN {printf "%.2f", v}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# A TCP port on loopback that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_nginx WORK LINES [TOP]: an nginx whose files all lie in WORK, serving
# as the http block's LINES (servers, logs, limits) say, with TOP (modules to
# load) before it all; returns once it is up.
start_nginx() {
  local work=$1 nginx
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  mkdir -p "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
${3:-}
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  sendfile on;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  default_type application/octet-stream;
$2
}
CONF
  "$nginx" -c "$work/nginx.conf" -p "$work" -e "$work/error.log"
  for _ in $(seq 1 50); do [ -s "$work/nginx.pid" ] && break; sleep 0.1; done
}
stop_nginx() {  # $1: the WORK given to start_nginx
  [ -f "$1/nginx.pid" ] && kill "$(cat "$1/nginx.pid")" 2>/dev/null
  return 0
}

# make_tls WORK: a throwaway certificate authority, trusted only in this
# build's Wine prefix, and a certificate for localhost signed by it
# (WORK/server.pem, WORK/server.key; WORK/ca.pem for curl). Wine 8 refuses a
# certificate for an https URL naming 127.0.0.1, even with that address in its
# subjectAltName; the host name localhost passes.
make_tls() {
  local work=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Veldra bench CA $$" \
    -keyout "$work/ca.key" -out "$work/ca.pem" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout "$work/server.key" -out "$work/server.csr" >/dev/null 2>&1
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/san.ext"
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/server.pem" >/dev/null 2>&1
  openssl x509 -in "$work/ca.pem" -outform der -out "$work/ca.der"
  chmod 644 "$work/ca.der"
  "$build/wine-run" "$build/bin/trust_ca.exe" "$(win "$work/ca.der")" </dev/null >/dev/null 2>&1
}
