# Shared parts of the peer benchmarks (run-peer-update, run-peer-scan, run-peer-wine, run-peer-wan),
# sourced by them: the release build, the Debian packages, the work folder, the generated and published
# trees, the two servers (korvel-publish serve and nginx on loopback), a run of our program and of the
# curl + gzip -d peer, the Windows program under Wine, clock and memory readings, and the ratio lines.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench="$root/bench"
build=${KORVEL_BENCH_BUILD:-$root/build/peer-bench}
patcher="$build/korvel-patcher"
publish="$build/tools/korvel-publish"
nginx_program=/usr/sbin/nginx
manifest_url=/patch/wendrel/wendrelonly.xml.gz
# How the clients reach 127.0.0.1:$port: http, or https (nginx serving TLS), with ca_pem then the
# certificate authority (PEM) the native clients trust for it.
server_scheme=http
ca_pem=""

# patch_server HOST: the KORVEL_PATCH_SERVER entry for HOST:$port in the scheme of the run.
patch_server() {
  if [ "$server_scheme" = https ]; then echo "https://$1:$port"; else echo "$1:$port"; fi
}

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

# serve_nginx ROOT PREFIX [CERTIFICATES]: nginx, unprivileged, from a generated configuration in PREFIX
# (pid, logs and temporary folders there), one process, on a free loopback port; sets `port`. Its
# access log names each request's connection, so that the connections a client used can be counted.
# With a CERTIFICATES folder (server.pem, server.key) it serves HTTPS only, over TLS 1.2 or 1.3 with a
# session cache, and each log line also gives the connection's protocol and whether its handshake
# resumed a session ("r") or was a full one (".").
serve_nginx() {
  local served=$1 prefix=$2 certificates=${3:-} attempt candidate
  # shellcheck disable=SC2016
  local log_fields='$connection $connection_requests "$request" $status $body_bytes_sent' tls_lines=""
  if [ -n "$certificates" ]; then
    # shellcheck disable=SC2016
    log_fields+=' $ssl_protocol $ssl_session_reused'
    tls_lines="
    ssl_certificate $certificates/server.pem;
    ssl_certificate_key $certificates/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:peer:4m;
    ssl_session_timeout 10m;"
  fi
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
  log_format peer '$log_fields';
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
    listen 127.0.0.1:$candidate${certificates:+ ssl};$tls_lines
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

# prepare_tree KIND: generates the tree of that kind (large: $large_files x $large_mib MiB, small:
# $small_files files) and publishes it, once per work folder and size; sets game, published, manifest.
prepare_tree() {
  local kind=$1
  game="$work/game-$kind" published="$work/published-$kind"
  manifest="$published$manifest_url"
  local stamp="$work/.ready-$kind"
  local wanted
  if [ "$kind" = large ]; then wanted="$large_files $large_mib"; else wanted="$small_files"; fi
  if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    rm -rf "$game" "$published" "$stamp"
    local t0
    t0=$(now)
    # shellcheck disable=SC2086
    python3 "$bench/peer_tree.py" "$kind" "$game" $wanted
    say "$kind: generated in $(elapsed "$t0" "$(now)") s"
    t0=$(now)
    "$publish" build "$game" "$published" >"$work/publish-$kind.txt"
    say "$kind: published in $(elapsed "$t0" "$(now)") s: $(grep '^Published' "$work/publish-$kind.txt")"
    echo "$wanted" >"$stamp"
  fi
}

# Sum of DownloadSize over the files of a manifest (bytes).
download_total() {
  zcat "$1" | grep -o '<File [^>]* DownloadSize="[0-9]*"' | sed 's/.*DownloadSize="//; s/"//' | awk '{ s += $1 } END { print s + 0 }'
}

# run_ours TAG [VARIABLE=VALUE...]: our program in an empty installation against 127.0.0.1:$port, with
# the environment given; sets ours_s, ours_rss, ours_cpu and ours_check (the installation checked
# against $manifest). Files: $work/ours-TAG.{log,out,time}.
run_ours() {
  local tag=$1
  shift
  local install="$work/install"
  rm -rf "$install"
  mkdir -p "$install"
  rm -f "$work/ours-$tag.log"
  sync
  local t0 t1 code=0
  t0=$(now)
  (cd "$install" && env "$@" ${ca_pem:+"KORVEL_CA_FILE=$ca_pem"} KORVEL_PATCH_SERVER="$(patch_server 127.0.0.1)" \
     KORVEL_PATCH_LOG="$work/ours-$tag.log" \
     /usr/bin/time -v -o "$work/ours-$tag.time" timeout 1800 "$patcher") >"$work/ours-$tag.out" 2>&1 || code=$?
  t1=$(now)
  ours_s=$(elapsed "$t0" "$t1")
  ours_rss=$(peak_rss_mib "$work/ours-$tag.time")
  ours_cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.1f", s }' "$work/ours-$tag.time")
  [ "$code" = 0 ] || { tail -n 5 "$work/ours-$tag.out" >&2; die "$tag: our program exited with $code"; }
  grep -q "Patcher: Finished Downloading" "$work/ours-$tag.log" || die "$tag: our log has no \"Finished Downloading\""
  ours_check=$(python3 "$bench/peer_tool.py" verify "$manifest" "$install" 64) ||
    die "$tag: our installation differs from the manifest: $ours_check"
}

# run_peer TAG [CURL OPTION...]: the manifest and every body fetched from 127.0.0.1:$port by one curl
# process (one kept connection unless the options say otherwise, e.g. --parallel), then gzip -d of
# every body; sets peer_s, curl_s, gunzip_s, peer_cpu, peer_bytes, peer_connects and peer_check.
run_peer() {
  local tag=$1
  shift
  local into="$work/peer"
  rm -rf "$into" "$work/peer-manifest.xml" "$work/peer-manifest.xml.gz"
  python3 "$bench/peer_tool.py" curl-config "$manifest" "$server_scheme://127.0.0.1:$port" "$manifest_url" "$into" \
    | sed "s|\"$into/manifest.xml.gz\"|\"$work/peer-manifest.xml.gz\"|" >"$work/peer-$tag.curl"
  sync
  local t0 t1 t2
  t0=$(now)
  /usr/bin/time -f '%U %S' -o "$work/peer-$tag.curltime" \
    curl -sS --fail --create-dirs ${ca_pem:+--cacert "$ca_pem"} -w '%{size_download} %{num_connects}\n' "$@" \
    --config "$work/peer-$tag.curl" \
    >"$work/peer-$tag.sizes" || die "$tag: curl failed"
  t1=$(now)
  find "$into" "$work/peer-manifest.xml.gz" -name '*.gz' -type f -print0 |
    /usr/bin/time -f '%U %S' -o "$work/peer-$tag.gziptime" xargs -0 gzip -d -- || die "$tag: gzip -d failed"
  t2=$(now)
  curl_s=$(elapsed "$t0" "$t1") gunzip_s=$(elapsed "$t1" "$t2") peer_s=$(elapsed "$t0" "$t2")
  peer_cpu=$(cat "$work/peer-$tag.curltime" "$work/peer-$tag.gziptime" | awk '{ s += $1 + $2 } END { printf "%.1f", s }')
  peer_bytes=$(awk '{ s += $1 } END { print s + 0 }' "$work/peer-$tag.sizes")
  peer_connects=$(awk '{ s += $2 } END { print s + 0 }' "$work/peer-$tag.sizes")
  local expected
  expected=$(( $(download_total "$manifest") + $(stat -c %s "$manifest") ))
  [ "$peer_bytes" = "$expected" ] || die "$tag: curl fetched $peer_bytes bytes, the manifest and bodies are $expected"
  peer_check=$(python3 "$bench/peer_tool.py" verify "$manifest" "$into" 64) ||
    die "$tag: the peer's folder differs from the manifest: $peer_check"
}

# ---- The Windows program under Wine -------------------------------------------------------------

# wine_enter_xvfb SCRIPT ARGS...: makes sure of Wine, the cross compilers and Xvfb, then runs the
# script again inside one Xvfb session (a wineserver started without a display cannot make windows
# later); returns only when already inside.
wine_enter_xvfb() {
  [ "${KORVEL_PEER_IN_XVFB:-0}" = 1 ] && return 0
  need_packages xvfb-run:xvfb xauth:xauth wine:wine
  if [ "${KORVEL_WINE_BITS:-32}" = 32 ]; then
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1 ||
      die "32-bit Wine (wine32:i386) is missing or cannot start here: run scripts/setup, or set KORVEL_WINE_BITS=64"
  fi
  command -v "$(wine_target)-gcc-posix" >/dev/null || die "the mingw-w64 compilers are missing: run scripts/setup"
  KORVEL_PEER_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
}

# The mingw-w64 target of the Windows program (KORVEL_WINE_BITS: 32, the product, or 64) and the Wine
# loader that starts it.
wine_target() { if [ "${KORVEL_WINE_BITS:-32}" = 64 ]; then echo x86_64-w64-mingw32; else echo i686-w64-mingw32; fi; }
wine_loader() { if [ "${KORVEL_WINE_BITS:-32}" = 64 ]; then echo /usr/lib/wine/wine64; else echo wine; fi; }

# build_windows_program: KorvelPatcher.exe (release, i686; x86_64 with KORVEL_WINE_BITS=64) in
# build/w-bench (build/w64-bench), or $KORVEL_WINE_EXE; sets exe.
build_windows_program() {
  local target arch windows_build=$root/build/w-bench
  target=$(wine_target)
  arch=${target%%-*}
  [ "$arch" = x86_64 ] && windows_build=$root/build/w64-bench
  if [ -n "${KORVEL_WINE_EXE:-}" ]; then
    exe=$KORVEL_WINE_EXE
  else
    say "building KorvelPatcher.exe (release, $arch) in $windows_build"
    cmake -S "$root" -B "$windows_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_BENCH=OFF >/dev/null || die "windows configure failed"
    cmake --build "$windows_build" -j2 --target korvel_patcher >"$windows_build/peer-bench-build.log" 2>&1 ||
      { tail -n 30 "$windows_build/peer-bench-build.log" >&2; die "windows build failed"; }
    exe=$windows_build/KorvelPatcher.exe
  fi
  [ -f "$exe" ] || die "no Windows program at $exe"
}

# make_handoff_stubs: the stand-ins for the sibling launcher in $work/stubs, Wendrel-wine.exe (a tiny
# Windows program) and Wendrel-native.exe (a shell script); each creates handoff.txt, whose
# modification time marks the end of the update.
make_handoff_stubs() {
  stubs="$work/stubs"
  mkdir -p "$stubs"
  cat >"$stubs/handoff.c" <<'STUB'
#include <windows.h>
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
  (void)instance; (void)previous; (void)line; (void)show;
  HANDLE file = CreateFileA("handoff.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
STUB
  "$(wine_target)-gcc-posix" -O2 -mwindows -o "$stubs/Wendrel-wine.exe" "$stubs/handoff.c" || die "the Windows stand-in does not build"
  printf '#!/bin/sh\n: > handoff.txt\n' >"$stubs/Wendrel-native.exe"
  chmod +x "$stubs/Wendrel-native.exe"
}

# start_wine: a prefix of its own in the work folder, one wineserver for all runs, its services
# started before the first run (about 10 s, not timed).
start_wine() {
  export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all,err+module
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p
  local t0
  t0=$(now)
  "$(wine_loader)" wineboot </dev/null >/dev/null 2>&1 || true
  say "Wine ready in $(elapsed "$t0" "$(now)") s ($("$(wine_loader)" --version))"
}
stop_wine() { [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true; }
windows_path() { echo "Z:${1//\//\\}"; }

# run_handoff SIDE TAG: SIDE is native or wine; the program in an empty installation holding the
# stand-in, against 127.0.0.1:$port (native: over plain http only; wine: in the scheme of the run, over
# TLS by the name localhost); sets run_s (start to hand-off), whole_s (the process) and check.
run_handoff() {
  local side=$1 tag=$2
  local install="$work/install"
  rm -rf "$install"
  mkdir -p "$install"
  cp "$stubs/Wendrel-$side.exe" "$install/Wendrel.exe"
  local log="$work/$side-$tag.log"
  rm -f "$log"
  sync
  local t0 t1 code=0
  t0=$(now)
  if [ "$side" = native ]; then
    (cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$log" \
       /usr/bin/time -v -o "$work/$side-$tag.time" timeout 1800 "$patcher") >"$work/$side-$tag.out" 2>&1 || code=$?
  else
    # WinINet under Wine refuses a certificate for an IP address: over TLS the server goes by name.
    local host=127.0.0.1
    [ "$server_scheme" = https ] && host=localhost
    (cd "$install" && KORVEL_PATCH_SERVER="$(patch_server "$host")" KORVEL_PATCH_LOG="$(windows_path "$log")" \
       timeout 1800 "$(wine_loader)" "$exe") >"$work/$side-$tag.out" 2>&1 || code=$?
  fi
  t1=$(now)
  [ "$code" = 0 ] || { tail -n 5 "$work/$side-$tag.out" >&2; die "$side $tag: the program exited with $code"; }
  [ -f "$install/handoff.txt" ] || die "$side $tag: the program did not hand off to the sibling"
  grep -q "Patcher: Finished Downloading" "$log" || die "$side $tag: the log has no \"Finished Downloading\""
  run_s=$(elapsed "$t0" "$(stat -c %.Y "$install/handoff.txt")")
  whole_s=$(elapsed "$t0" "$t1")
  check=$(python3 "$bench/peer_tool.py" verify "$manifest" "$install" 64) ||
    die "$side $tag: the installation differs from the manifest: $check"
}
