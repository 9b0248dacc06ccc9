# Shared parts of the peer benchmarks (run-peer-update, run-peer-scan, run-peer-wine), sourced by them:
# the release build, the Debian packages, the work folder, the two servers (korvel-publish serve and
# nginx on loopback), clock and memory readings, and the ratio lines.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench="$root/bench"
build=${KORVEL_BENCH_BUILD:-$root/build/peer-bench}
patcher="$build/korvel-patcher"
publish="$build/tools/korvel-publish"
nginx_program=/usr/sbin/nginx
manifest_url=/patch/wendrel/wendrelonly.xml.gz

say() { echo "$bench_name: $*"; }
die() { echo "$bench_name: $*" >&2; exit 1; }

# Installs the Debian packages whose commands are missing (command:package pairs), once.
need_packages() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || [ -x "${pair%%:*}" ] || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null 2>&1; then
    apt-get update -q >/dev/null 2>&1 || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null || die "could not install ${missing[*]}"
  fi
}

# The programs in release, in a build tree of their own.
build_release() {
  say "building korvel-patcher and korvel-publish (release) in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_BENCH=OFF -DKORVEL_BUILD_TESTS=OFF \
    >/dev/null || die "configure failed"
  cmake --build "$build" -j2 --target korvel_patcher korvel_publish >"$build/peer-bench-build.log" 2>&1 ||
    { tail -n 30 "$build/peer-bench-build.log" >&2; die "build failed"; }
}

# The work folder: the argument, else a new folder under /tmp (removed at the end unless kept).
# need_mib: the space the benchmark needs there.
setup_work() {
  local given=$1 need_mib=$2
  if [ -n "$given" ]; then
    work=$given
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    remove_work=0
  else
    work=$(mktemp -d /tmp/korvel-peer.XXXXXX)
    remove_work=${KORVEL_PEER_KEEP:+0}
    remove_work=${remove_work:-1}
  fi
  local free_mib
  free_mib=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
  [ "$free_mib" -ge "$need_mib" ] || die "$work has $free_mib MiB free; this benchmark needs about $need_mib MiB"
  say "work folder $work ($free_mib MiB free)"
}

server_pids=()
nginx_prefixes=()
cleanup_servers() {
  local pid prefix
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  for prefix in "${nginx_prefixes[@]}"; do
    [ -f "$prefix/nginx.pid" ] && kill "$(cat "$prefix/nginx.pid")" 2>/dev/null || true
  done
  server_pids=()
  nginx_prefixes=()
}
cleanup_all() {
  cleanup_servers
  if [ "${remove_work:-0}" = 1 ]; then rm -rf "$work"; elif [ -n "${work:-}" ]; then say "kept $work"; fi
}

# serve_own ROOT LOG: korvel-publish serve on a free loopback port; sets `port`. The log lists the
# requests ("GET path" status size).
serve_own() {
  "$publish" serve --root "$1" --port 0 --bind 127.0.0.1 >"$2" 2>&1 &
  local pid=$! i
  server_pids+=("$pid")
  port=""
  for i in $(seq 1 200); do
    port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$2" | head -n 1)
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$2" >&2
  die "korvel-publish serve did not start"
}

# serve_nginx ROOT PREFIX: nginx, unprivileged, from a generated configuration in PREFIX (pid, logs
# and temporary folders there), one process, on a free loopback port; sets `port`. Its access log
# names each request's connection, so that the connections a client used can be counted.
serve_nginx() {
  local served=$1 prefix=$2 attempt candidate
  mkdir -p "$prefix"
  port=""
  for attempt in $(seq 1 20); do
    candidate=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$prefix/nginx.conf" <<CONF
daemon on;
master_process off;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/error.log;
events { worker_connections 1024; }
http {
  log_format peer '\$connection \$connection_requests "\$request" \$status \$body_bytes_sent';
  access_log $prefix/access.log peer;
  client_body_temp_path $prefix/body;
  proxy_temp_path $prefix/proxy;
  fastcgi_temp_path $prefix/fastcgi;
  uwsgi_temp_path $prefix/uwsgi;
  scgi_temp_path $prefix/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  keepalive_timeout 120s;
  gzip_static on;
  server {
    listen 127.0.0.1:$candidate;
    root $served;
  }
}
CONF
    if "$nginx_program" -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/error.log" >/dev/null 2>&1; then
      port=$candidate
      nginx_prefixes+=("$prefix")
      return 0
    fi
  done
  cat "$prefix/error.log" >&2 2>/dev/null || true
  die "nginx did not start"
}

# stop_nginx PREFIX: stops that nginx and waits until it has gone.
stop_nginx() {
  local prefix=$1 i
  "$nginx_program" -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/error.log" -s stop >/dev/null 2>&1 || true
  for i in $(seq 1 500); do [ -f "$prefix/nginx.pid" ] || break; sleep 0.01; done
}

# Connections and requests in an nginx access log of the benchmarks' format.
nginx_connections() { awk '{ seen[$1] = 1 } END { print length(seen) }' "$1"; }

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# ratio OURS PEER: ours/peer of two times (below 1: ours is faster).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# rate AMOUNT SECONDS
rate() { awk -v a="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", a / s; else print "n/a" }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
load_average() { cut -d' ' -f1-3 /proc/loadavg; }
# Peak resident memory in MiB from a `/usr/bin/time -v` report.
peak_rss_mib() { awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$1"; }
# Sum of TotalSize over the manifest (bytes) and its file count.
manifest_totals() {
  zcat "$1" | grep -o '<File [^>]* TotalSize="[0-9]*"' | sed 's/.*TotalSize="//; s/"//' |
    awk '{ s += $1; n++ } END { printf "%d %d\n", s, n }'
}
