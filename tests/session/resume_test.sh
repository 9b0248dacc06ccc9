#!/usr/bin/env bash
# A large download broken off at about 80% (the updater killed while it arrives over a rate-capped
# relay) is continued by the next run: that run asks only for the rest, the file is right, and no
# partial file stays behind. The next run is started while the first is still at work on the same
# installation: it waits for it ("Waiting for another updater to finish...") and goes on once the
# killed one has let go. Runs the native program or the Windows one under Wine.
#
#   resume_test.sh <build folder> [<native build folder: korvel-publish, for a Windows build>]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/support/program_under_test.sh
source "$source_dir/tests/support/program_under_test.sh"
program_setup "resume test" "$@"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ "${KORVEL_RESUME_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "resume test: $*"; exit 1; }

# 24 MiB that gzip cannot shrink, so the compressed body is about as large.
game="$work/game"
mkdir -p "$game/data"
head -c $((24 * 1024 * 1024)) /dev/urandom > "$game/data/big.pak"
install_sibling "$game"
"$publish" build "$game" "$work/published" >"$work/publish.txt"
body=$(find "$work/published" -name 'big.pak*' -type f | head -n 1)
body_size=$(stat -c %s "$body")

port_of() {  # waits for "<pattern>PORT" in a file
  local port=""
  for _ in $(seq 1 200); do
    port=$(sed -n "s|.*$2\([0-9][0-9]*\).*|\1|p" "$1" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  echo "$port"
}
"$publish" serve --root "$work/published" --port 0 --bind 127.0.0.1 >"$work/serve.txt" 2>&1 &
pids+=($!)
port=$(port_of "$work/serve.txt" "http://127\.0\.0\.1:")
[ -n "$port" ] || fail "the server did not start"
# 40 Mbit/s: the body takes about five seconds, so 80% is easy to catch.
python3 "$source_dir/bench/wan_relay.py" --to "127.0.0.1:$port" --delay-ms 1 --rate-mbit 40 >"$work/relay.txt" 2>&1 &
pids+=($!)
slow=$(port_of "$work/relay.txt" "listening on ")
[ -n "$slow" ] || fail "the relay did not start"

install="$work/install"
mkdir -p "$install"
install_program "$install"
cp "$game/Wendrel.exe" "$install/"
kept_bytes() {
  local part
  part=$(find "$install" -name 'spatchpart_*.part' | head -n 1)
  if [ -n "$part" ]; then stat -c %s "$part"; else echo 0; fi
}
# Waits up to 30 s for `kept_bytes` to reach $1; false when it does not.
await_kept() {
  for _ in $(seq 1 600); do
    [ "$(kept_bytes)" -ge "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

run_program_in_background "$install" KORVEL_PATCH_SERVER="127.0.0.1:$slow" >/dev/null 2>&1
first=$program_pid
pids+=("$first")
await_kept 1 || fail "the first run did not begin the download"
# Started at once, so that even a slow start reaches the wait long before the first run's end; the
# same server address again: kept bytes belong to their URL.
run_program_in_background "$install" KORVEL_PATCH_SERVER="127.0.0.1:$slow" KORVEL_LOCK_WAIT=120 \
  KORVEL_PATCH_LOG="$(host_path "$work/second.log")" >"$work/second.txt" 2>&1
second=$program_pid
pids+=("$second")
for _ in $(seq 1 600); do
  grep -q "Waiting for another updater to finish" "$work/second.log" 2>/dev/null && break
  sleep 0.05
done
grep -q "Waiting for another updater to finish" "$work/second.log" 2>/dev/null ||
  fail "the second run did not wait for the first"
await_kept $((body_size * 8 / 10)) || true
kill -9 "$first" 2>/dev/null || true
wait "$first" 2>/dev/null || true
kept=$(kept_bytes)
[ "$kept" -ge $((body_size * 7 / 10)) ] || fail "only $kept of $body_size bytes were kept"
[ "$kept" -lt "$body_size" ] || fail "the first run was not stopped before its end"

# The waiting run goes on at once: it has the installation and continues the body.
for _ in $(seq 1 2400); do
  kill -0 "$second" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$second" 2>/dev/null && fail "the second run did not end within four minutes"
status=0
wait "$second" || status=$?
[ "$status" = 0 ] || fail "the second run exited with $status"
cmp -s "$game/data/big.pak" "$install/data/big.pak" || fail "big.pak is not right"
grep -q "Resuming .* at byte $kept\." "$work/second.log" || fail "the second run did not continue at $kept"
fetched=$((body_size - kept))
[ -z "$(find "$install" -name 'spatchpart_*' -o -name 'spatchfile_*')" ] || fail "partial files left"
# Kept bytes that no entry of the manifest asks for any more go when the next run opens its caches.
stale="$install/data/spatchpart_00000000000000000000000000000000"
head -c 1000 /dev/urandom >"$stale.part"
printf 'korvel-partial 1\nvalidator "gone"\ntarget big.pak\n' >"$stale.tag"
run_program "$install" KORVEL_PATCH_SERVER="127.0.0.1:$port" >"$work/third.txt" 2>&1 ||
  fail "the third run exited with $?"
[ ! -e "$stale.part" ] && [ ! -e "$stale.tag" ] || fail "a partial file nobody wants was kept"
echo "resume test: passed (body $body_size bytes, kept $kept, the second run fetched $fetched)"
