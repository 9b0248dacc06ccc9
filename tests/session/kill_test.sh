#!/usr/bin/env bash
# Kills the real updater at many moments of an update (large downloads and delta combines) and checks
# after each kill that every file of the installation holds either its old bytes or its new ones,
# never a mix; then lets one run finish and checks that the installation is current and that no
# temporary file was left beside the game.
#
#   kill_test.sh <build folder>
set -euo pipefail

build=$(cd "$1" && pwd)
patcher="$build/korvel-patcher"
publish="$build/tools/korvel-publish"
[ -x "$patcher" ] && [ -x "$publish" ] || { echo "kill test: programs not built in $build"; exit 1; }

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "${KORVEL_KILL_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Four files of several MiB (deterministic), then a next version in which two of them change in
# places (delta data), one changes completely and one is new.
old="$work/old" new="$work/new"
mkdir -p "$old/data" "$new/data"
for name in a b c; do
  awk -v name="$name" 'BEGIN { for (i = 0; i < 120000; i++) printf "%s %07d %u\n", name, i, (i * 2654435761) % 4294967296 }' \
    > "$old/data/$name.pak"
done
cp -a "$old/." "$new/"
awk '{ if (NR % 3000 == 0) print $0 " patched"; else print }' "$old/data/a.pak" > "$new/data/a.pak"
awk 'NR == 60000 { for (i = 0; i < 800; i++) print "inserted " i } { print }' "$old/data/b.pak" > "$new/data/b.pak"
awk 'BEGIN { for (i = 0; i < 150000; i++) printf "c2 %07d %u\n", i, (i * 40503) % 65536 }' > "$new/data/c.pak"
awk 'BEGIN { for (i = 0; i < 100000; i++) printf "d %07d\n", i }' > "$new/data/d.pak"
printf '#!/bin/sh\nexit 0\n' > "$old/Wendrel.exe"
cp "$old/Wendrel.exe" "$new/Wendrel.exe"
chmod +x "$old/Wendrel.exe" "$new/Wendrel.exe"
find "$old" "$new" -type f -exec touch -d "2024-03-01 12:00:00" {} +

"$publish" build "$new" "$work/published" --previous "$old" >"$work/publish.txt"
"$publish" serve --root "$work/published" --port 0 --bind 127.0.0.1 >"$work/serve.txt" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/serve.txt" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "kill test: the server did not start"; cat "$work/serve.txt"; exit 1; }

install="$work/install"
cp -a "$old" "$install"
sum() { sha256sum "$1" | cut -d' ' -f1; }

failures=0
check_whole() {  # after a kill: every file is the old one or the new one (or, when new, absent)
  local f name got
  for f in "$new"/data/*.pak; do
    name=$(basename "$f")
    [ -e "$install/data/$name" ] || { [ -e "$old/data/$name" ] && { echo "kill test: $name vanished after a kill at $1 s"; failures=$((failures + 1)); }; continue; }
    got=$(sum "$install/data/$name")
    if [ "$got" != "$(sum "$f")" ] && { [ ! -e "$old/data/$name" ] || [ "$got" != "$(sum "$old/data/$name")" ]; }; then
      echo "kill test: $name is neither the old nor the new file after a kill at $1 s"
      failures=$((failures + 1))
    fi
  done
}

run() { (cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$port" exec "$patcher") >/dev/null 2>&1 & echo $!; }

# The moments spread over the load, the scan, the downloads and the combines of a run (about four
# seconds here), from the first request to the last rename.
for delay in 0.05 0.15 0.3 0.5 0.7 0.9 1.2 1.5 1.8 2.2 2.6 3.0 3.5; do
  pid=$(run)
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  check_whole "$delay"
done

# One run to the end brings the installation up to date.
(cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$work/final.log" timeout 300 "$patcher") >"$work/final.txt" 2>&1 || echo "kill test: the final run exited with $?"
for f in "$new"/data/*.pak; do
  name=$(basename "$f")
  if ! cmp -s "$f" "$install/data/$name"; then
    echo "kill test: $name is not current after the final run"
    failures=$((failures + 1))
  fi
done
leftovers=$(find "$install" -name 'spatchfile_*' -o -name '*.gz' -o -name '*.delta' | head -n 5)
if [ -n "$leftovers" ]; then
  echo "kill test: files left behind after the final run: $leftovers"
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  echo "kill test: $failures failure(s)"
  exit 1
fi
echo "kill test: passed (13 kills, then a complete run)"
