#!/usr/bin/env bash
# A large download broken off at about 80% (the updater killed while it arrives over a rate-capped
# relay) is continued by the next run: that run asks only for the rest, the file is right, and no
# partial file stays behind.
#
#   resume_test.sh <build folder>
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
patcher="$build/korvel-patcher"
publish="$build/tools/korvel-publish"
[ -x "$patcher" ] && [ -x "$publish" ] || { echo "resume test: programs not built in $build"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ "${KORVEL_RESUME_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# 24 MiB that gzip cannot shrink, so the compressed body is about as large.
game="$work/game"
mkdir -p "$game/data"
head -c $((24 * 1024 * 1024)) /dev/urandom > "$game/data/big.pak"
printf '#!/bin/sh\nexit 0\n' > "$game/Wendrel.exe"
chmod +x "$game/Wendrel.exe"
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
[ -n "$port" ] || { echo "resume test: the server did not start"; exit 1; }
# 40 Mbit/s: the body takes about five seconds, so 80% is easy to catch.
python3 "$source_dir/bench/wan_relay.py" --to "127.0.0.1:$port" --delay-ms 1 --rate-mbit 40 >"$work/relay.txt" 2>&1 &
pids+=($!)
slow=$(port_of "$work/relay.txt" "listening on ")
[ -n "$slow" ] || { echo "resume test: the relay did not start"; exit 1; }

install="$work/install"
mkdir -p "$install"
cp "$game/Wendrel.exe" "$install/"
(cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$slow" exec "$patcher") >/dev/null 2>&1 &
first=$!
kept=0
for _ in $(seq 1 600); do
  part=$(find "$install" -name 'spatchpart_*.part' | head -n 1)
  [ -n "$part" ] && kept=$(stat -c %s "$part")
  [ "$kept" -ge $((body_size * 8 / 10)) ] && break
  sleep 0.05
done
kill -9 "$first" 2>/dev/null || true
wait "$first" 2>/dev/null || true
kept=$(stat -c %s "$(find "$install" -name 'spatchpart_*.part' | head -n 1)")
[ "$kept" -ge $((body_size * 7 / 10)) ] || { echo "resume test: only $kept of $body_size bytes were kept"; exit 1; }

# The same server address again: kept bytes belong to their URL.
(cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$slow" KORVEL_PATCH_LOG="$work/second.log" timeout 300 "$patcher") \
  >"$work/second.txt" 2>&1 || { echo "resume test: the second run exited with $?"; exit 1; }
cmp -s "$game/data/big.pak" "$install/data/big.pak" || { echo "resume test: big.pak is not right"; exit 1; }
grep -q "Resuming .* at byte $kept\." "$work/second.log" || { echo "resume test: the second run did not continue at $kept"; exit 1; }
fetched=$((body_size - kept))
[ -z "$(find "$install" -name 'spatchpart_*' -o -name 'spatchfile_*')" ] || { echo "resume test: partial files left"; exit 1; }
# Kept bytes that no entry of the manifest asks for any more go when the next run opens its caches.
stale="$install/data/spatchpart_00000000000000000000000000000000"
head -c 1000 /dev/urandom >"$stale.part"
printf 'korvel-partial 1\nvalidator "gone"\ntarget big.pak\n' >"$stale.tag"
(cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$port" timeout 120 "$patcher") >"$work/third.txt" 2>&1 \
  || { echo "resume test: the third run exited with $?"; exit 1; }
[ ! -e "$stale.part" ] && [ ! -e "$stale.tag" ] || { echo "resume test: a partial file nobody wants was kept"; exit 1; }
echo "resume test: passed (body $body_size bytes, kept $kept, the second run fetched $fetched)"
