#!/usr/bin/env bash
# The patch server as players meet it, end to end with the real program (the native one, or the
# Windows one under Wine), served by the native korvel-test-server with the faults of a bad CDN:
#   - most answers (the manifest's too) fail once with 503, 500 or a reset before the header: one run
#     installs everything;
#   - a link that breaks every 4 MiB delivers a 24 MiB file in one run, each request continuing where
#     the last one broke off;
#   - a server that stalls is given up on within two stall time-outs (KORVEL_STALL_TIMEOUT=3);
#   - a dead first server leaves the second to serve everything;
#   - over HTTPS a server whose certificate the program trusts installs, one it does not installs
#     nothing and says why (code 52), and a redirect from https to plain http is refused (code 53);
#   - KORVEL_MAX_RATE=1M holds 8 MiB of files in flight to 1 MiB/s within 20%.
# The Windows program trusts the run's certificate authority once add_test_root has put it into the
# Wine prefix's root store (removed again at the end); it names the server "localhost".
#
#   network_test.sh <build folder> [<native build folder: korvel-publish and korvel-test-server>]
set -euo pipefail

# shellcheck source=tests/support/program_under_test.sh
source "$(dirname "$0")/../support/program_under_test.sh"
program_setup "network test" "$@"
native=$(dirname "$(dirname "$publish")")
server_program="$native/tests/korvel-test-server"
[ -x "$server_program" ] || { echo "network test: $server_program is not built"; exit 1; }
add_root=""
loader=wine
if [ "$windows" = 1 ]; then
  add_root="$(dirname "$program_file")/tests/add_test_root.exe"
  [ -f "$add_root" ] || { echo "network test: $add_root is not built"; exit 1; }
  [ -s "$(dirname "$program_file")/wine-loader" ] && loader=$(cat "$(dirname "$program_file")/wine-loader")
fi

work=$(mktemp -d)
pids=()
root_added=0
cleanup() {
  if [ "$root_added" = 1 ]; then "$loader" "$add_root" --remove "$(host_path "$work/certificates/ca.der")" >/dev/null 2>&1 || true; fi
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ "${KORVEL_NETWORK_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
fail() { echo "network test: $*"; failures=$((failures + 1)); }

# serve NAME ROOT [OPTIONS...]: the test server on a free port in the background; sets `port` and
# `scheme`, logs its requests to $work/NAME.requests.
serve() {
  local name=$1 root=$2
  shift 2
  "$server_program" --root "$root" --log "$work/$name.requests" "$@" >"$work/$name.serve" 2>&1 &
  pids+=($!)
  port=""
  for _ in $(seq 1 200); do
    # The server's output file may not be there yet.
    port=$(sed -n 's|^serving https*://127\.0\.0\.1:\([0-9][0-9]*\).*|\1|p' "$work/$name.serve" 2>/dev/null | head -n 1 || true)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "network test: the $name server did not start"; cat "$work/$name.serve"; exit 1; }
}

# publish NAME: the game folder $work/NAME published into $work/NAME.published.
publish_game() { "$publish" build "$work/$1" "$work/$1.published" >"$work/$1.publish.txt"; }

# update NAME SERVERS [VAR=VALUE...]: a fresh installation $work/NAME.install (the program and the
# sibling only) updated from SERVERS; its log in $work/NAME.log, its output in $work/NAME.out, its
# exit status in `status` and its wall time in milliseconds in `elapsed_ms`.
update() {
  local name=$1 servers=$2
  shift 2
  local install="$work/$name.install"
  rm -rf "$install"
  mkdir -p "$install"
  install_program "$install"
  install_sibling "$install"
  local start end
  start=$(date +%s%N)
  status=0
  run_program "$install" KORVEL_PATCH_SERVER="$servers" KORVEL_PATCH_LOG="$(host_path "$work/$name.log")" "$@" \
    >"$work/$name.out" 2>&1 || status=$?
  end=$(date +%s%N)
  elapsed_ms=$(((end - start) / 1000000))
  [ -f "$work/$name.log" ] || touch "$work/$name.log"
  tr -d '\r' <"$work/$name.log" >"$work/$name.log.txt"
}

# installed NAME GAME: whether every file of $work/GAME is in $work/NAME.install with its bytes.
installed() {
  local file
  while IFS= read -r file; do
    cmp -s "$work/$2/$file" "$work/$1.install/$file" || return 1
  done < <(cd "$work/$2" && find . -type f ! -name Wendrel.exe)
}

# A game of 24 small files and the sibling.
mkdir -p "$work/small/data"
for i in $(seq 10 33); do head -c $((3000 + i * 37)) /dev/urandom >"$work/small/data/f$i.bin"; done
install_sibling "$work/small"
publish_game small
localhost=127.0.0.1
[ "$windows" = 1 ] && localhost=localhost

# ---- Transient faults on most answers -----------------------------------------------------------
serve flaky "$work/small.published" --fail-first 1:503,500,reset
update flaky "127.0.0.1:$port"
installed flaky small || fail "transient faults: the installation is not complete (status $status)"
grep -q "Http get error" "$work/flaky.log.txt" && fail "transient faults: a failure was reported"
retries=$(grep -c "; retry 1 of 2 in" "$work/flaky.log.txt" || true)
# A reset on a kept connection may be asked again by the HTTP library itself, unseen: the answered
# statuses are what the log must show each.
answered=$(grep -cE ' (500|503)$' "$work/flaky.requests" || true)
[ "$answered" -ge 15 ] && [ "$retries" -ge "$answered" ] ||
  fail "transient faults: $retries retries logged for $answered error statuses"

# ---- A link that breaks every 4 MiB -------------------------------------------------------------
mkdir -p "$work/big/data"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/big/data/big.pak"
install_sibling "$work/big"
publish_game big
body=$(find "$work/big.published" -name 'big.pak*' -type f | head -n 1)
body_size=$(stat -c %s "$body")
serve breaking "$work/big.published" --break-every $((4 * 1024 * 1024))
update breaking "127.0.0.1:$port"
installed breaking big || fail "breaking link: big.pak is not right (status $status)"
asked=$(grep -c "big.pak" "$work/breaking.requests" || true)
[ "$asked" -le $((body_size / (4 * 1024 * 1024) + 2)) ] || fail "breaking link: $asked requests for a $body_size-byte body"
grep -q "Resuming .*big.pak at byte 4194304\." "$work/breaking.log.txt" || fail "breaking link: the body was not continued"

# ---- A stalled server ----------------------------------------------------------------------------
# The manifest gets through; the big file stalls after 64 KiB, every time.
serve stalled "$work/big.published" --stall-after 65536
update stalled "127.0.0.1:$port" KORVEL_STALL_TIMEOUT=3
[ ! -e "$work/stalled.install/data/big.pak" ] || fail "stall: big.pak was installed"
grep -q "stalled (12002)" "$work/stalled.log.txt" || fail "stall: no stall was logged"
[ "$(grep -c "big.pak" "$work/stalled.requests")" = 2 ] || fail "stall: the file was not asked for exactly twice"
[ "$elapsed_ms" -lt 15000 ] || fail "stall: the run took ${elapsed_ms} ms for two stall time-outs of 3 s"

# ---- A dead first server ----------------------------------------------------------------------------
serve gone "$work/small.published"
dead=$port
kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true
serve second "$work/small.published"
update dead "127.0.0.1:$dead,127.0.0.1:$port"
installed dead small || fail "dead first server: the installation is not complete (status $status)"
grep -q "Asking the next patch server, 127.0.0.1:$port, for the manifest." "$work/dead.log.txt" ||
  fail "dead first server: the log does not name the second server"

# ---- HTTPS --------------------------------------------------------------------------------------------
"$server_program" --make-certificates "$work/certificates" >/dev/null
trust=(KORVEL_CA_FILE="$work/certificates/ca.pem")
if [ "$windows" = 1 ]; then
  "$loader" "$add_root" "$(host_path "$work/certificates/ca.der")" >/dev/null 2>&1 ||
    fail "https: the authority could not be added to the root store"
  root_added=1
  trust=()
fi
serve secure "$work/small.published" --tls "$work/certificates/server.pem" "$work/certificates/server.key"
secure_port=$port
update secure "https://$localhost:$secure_port" "${trust[@]}"
installed secure small || fail "https: the installation is not complete (status $status)"
serve untrusted "$work/small.published" --tls "$work/certificates/untrusted-server.pem" "$work/certificates/untrusted-server.key"
update untrusted "https://$localhost:$port" "${trust[@]}"
[ -z "$(find "$work/untrusted.install/data" -type f 2>/dev/null)" ] || fail "https: files came from an untrusted server"
grep -q "certificate failed verification" "$work/untrusted.log.txt" || fail "https: the refusal does not say why"
serve plain "$work/small.published"
manifest=patch/wendrel/wendrelonly.xml.gz
serve downgrading "$work/small.published" --tls "$work/certificates/server.pem" "$work/certificates/server.key" \
  --redirect "/$manifest=http://127.0.0.1:$port/$manifest"
update downgrading "https://$localhost:$port" "${trust[@]}"
[ -z "$(find "$work/downgrading.install/data" -type f 2>/dev/null)" ] || fail "https: files came after a redirect to http"
grep -q "redirected a secure request to plain HTTP" "$work/downgrading.log.txt" || fail "https: the redirect was not refused"
[ ! -s "$work/plain.requests" ] || fail "https: the redirect reached the plain server"

# ---- A cap on the rate ----------------------------------------------------------------------------
mkdir -p "$work/capped/data"
for i in 1 2 3 4 5 6 7 8; do head -c $((1024 * 1024)) /dev/urandom >"$work/capped/data/c$i.bin"; done
install_sibling "$work/capped"
publish_game capped
serve capped "$work/capped.published"
update uncapped "127.0.0.1:$port"
uncapped_ms=$elapsed_ms
update capped "127.0.0.1:$port" KORVEL_MAX_RATE=1M
installed capped capped || fail "rate cap: the installation is not complete (status $status)"
wire=$(find "$work/capped.published" -name 'c*.bin*' -type f -exec stat -c %s {} + | awk '{ s += $1 } END { print s }')
expected_ms=$((wire * 1000 / 1048576))
[ "$elapsed_ms" -ge $((expected_ms * 8 / 10)) ] || fail "rate cap: $wire bytes in ${elapsed_ms} ms, faster than 1 MiB/s by more than 20%"
[ "$elapsed_ms" -le $((expected_ms * 12 / 10 + uncapped_ms)) ] ||
  fail "rate cap: $wire bytes in ${elapsed_ms} ms (${uncapped_ms} ms without the cap), slower than 1 MiB/s by more than 20%"

if [ "$failures" -gt 0 ]; then exit 1; fi
echo "network test: passed (${retries} retries, $asked requests for $body_size bytes over a breaking link," \
  "capped ${wire} bytes in ${elapsed_ms} ms)"
