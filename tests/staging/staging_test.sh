#!/usr/bin/env bash
# Background staging end to end with the real program and its background transfer helper:
#  run 1  version 1 is live, version 2 is coming (not live, on a staging server that is not up yet):
#         the run stages version 2 and ends; the files arrive afterwards, while no updater runs, once
#         the staging server is up;
#  run 2  version 2 is live, version 3 is coming: the run completes the job of version 2 and takes its
#         files from the staging folder instead of downloading them (the patch server's request log
#         shows no request for them), the delta data of a changed file among them, and stages the one
#         file version 3 adds.
# Both the live and the coming version are laid out as the stager lays out its work: the distribution's
# files in a directory named "." that gives their remote folder.
#
#   staging_test.sh <build folder>
set -euo pipefail

build=$(cd "$1" && pwd)
patcher="$build/korvel-patcher"
publish="$build/tools/korvel-publish"
[ -x "$patcher" ] && [ -x "$publish" ] || { echo "staging test: programs not built in $build"; exit 1; }

work=$(mktemp -d)
server_pid="" stage_pid=""
# The servers are started in command substitutions, so they are not this shell's children and `wait`
# cannot tell when one has gone: its port is free only once the process is.
stop_server() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$1" 2>/dev/null || true
}
helper_running() {  # the helper that holds the state folder's lock, if it still runs
  local pid
  pid=$(cat "$work/bits/helper.lock" 2>/dev/null || true)
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}
wait_for() {  # wait_for SECONDS COMMAND...: true once the command succeeds
  local limit=$(( $1 * 10 )) i
  shift
  for i in $(seq 1 "$limit"); do "$@" && return 0; sleep 0.1; done
  return 1
}
cleanup() {
  # The helper ends by itself once no job has work; the servers stay up until then.
  wait_for 60 bash -c "! { pid=\$(cat '$work/bits/helper.lock' 2>/dev/null) && [ -n \"\$pid\" ] && kill -0 \"\$pid\" 2>/dev/null; }" || true
  stop_server "$server_pid"
  stop_server "$stage_pid"
  if [ "${KORVEL_STAGING_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
fail() { echo "staging test: $*"; failures=$((failures + 1)); }

# ---- Three versions, published into one tree ----------------------------------------------------
for v in 1 2 3; do mkdir -p "$work/v$v/data"; done
echo "unchanged" > "$work/v1/u.pak"
echo "a, first version" > "$work/v1/a.pak"
echo "b, first version" > "$work/v1/data/b.pak"
printf '#!/bin/sh\nexit 0\n' > "$work/v1/Wendrel.exe"
head -c 300000 /dev/urandom > "$work/v1/e.pak"  # changed in place by version 2: it gets delta data
chmod +x "$work/v1/Wendrel.exe"
cp -a "$work/v1/." "$work/v2/"
awk 'BEGIN { for (i = 0; i < 40000; i++) printf "a, second version, line %06d\n", i }' > "$work/v2/a.pak"
echo "b, second version" > "$work/v2/data/b.pak"
echo "c, new in the second version" > "$work/v2/c.pak"
printf 'e, second version' | dd of="$work/v2/e.pak" bs=1 seek=150000 conv=notrunc 2>/dev/null
cp -a "$work/v2/." "$work/v3/"
echo "d, new in the third version" > "$work/v3/d.pak"
find "$work"/v1 "$work"/v2 "$work"/v3 -type f -exec touch -d "2024-03-01 12:00:00" {} +

published="$work/published"
for v in 1 2 3; do
  previous=()
  [ "$v" = 1 ] || previous=(--previous "$work/v1")
  "$publish" build "$work/v$v" "$published" --version "$v" --remote-root "patch/wendrel/v$v" \
    --manifest "patch/wendrel/v$v.xml.gz" "${previous[@]}" >>"$work/publish.txt"
done
delta=$(zcat "$published/patch/wendrel/v2.xml.gz" | sed -n 's/.*<DeltaFile FilePath="\([^"]*\)".*/\1/p')
[ "$(echo "$delta" | wc -w)" = 1 ] || { echo "staging test: version 2 was published without one delta: $delta"; exit 1; }

# The manifest of a run: version $1 live, version $2 coming on the staging server.
compose() {
  local live=$1 next=$2
  zcat "$published/patch/wendrel/v$live.xml.gz" | sed -n '1,/<Distribution /p'
  echo "<Directory Name=\".\" RemotePath=\"patch/wendrel/v$live\">"
  zcat "$published/patch/wendrel/v$live.xml.gz" | sed -n '/<Distribution /,/<\/Distribution>/p' | sed '1d;$d'
  echo "</Directory></Distribution>"
  echo "<Distribution Name=\"Wendrel Distribution\" Live=\"false\" Version=\"$next\" Server=\"127.0.0.1\" Port=\"$stage_port\">"
  echo "<Directory Name=\".\" RemotePath=\"patch/wendrel/v$next\">"
  zcat "$published/patch/wendrel/v$next.xml.gz" | sed -n '/<Distribution /,/<\/Distribution>/p' | sed '1d;$d'
  echo "</Directory></Distribution></Product></KorvelPatcher>"
}

start_server() {  # start_server OUTPUT PORT: prints the server's process id
  "$publish" serve --root "$published" --port "$2" --bind 127.0.0.1 >"$1" 2>&1 &
  echo $!
}
port_of() {
  local port="" i
  for i in $(seq 1 200); do
    port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$1" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  echo "$port"
}
# The staging server's port is taken now and left free until run 1 is over.
stage_pid=$(start_server "$work/probe.txt" 0)
stage_port=$(port_of "$work/probe.txt")
stop_server "$stage_pid"
stage_pid=""
server_pid=$(start_server "$work/serve.txt" 0)
port=$(port_of "$work/serve.txt")
[ -n "$port" ] && [ -n "$stage_port" ] || { echo "staging test: the servers did not start"; exit 1; }

install="$work/install"
cp -a "$work/v1" "$install"
run() {  # run LOG LIVE NEXT
  compose "$2" "$3" | gzip > "$published/patch/wendrel/wendrelonly.xml.gz"
  (cd "$install" && KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$1" KORVEL_TRICKLE=1 \
     KORVEL_BITS_DIR="$work/bits" KORVEL_BITS_HELPER="$patcher" timeout 120 "$patcher") >>"$work/output.txt" 2>&1 ||
    fail "the program exited with $?"
}
staged() { ls "$install/wd_trickle_stage/"*"/$1" >/dev/null 2>&1; }
all_staged() { for f in "$@"; do staged "$f" || return 1; done; }
# Requests in a server's log for the file NAME of version V, whatever separators the URL was written with.
requests() {  # requests LOG V NAME
  sed 's/%5[Cc]/\//g; s/\\/\//g' "$1" | grep -cF "\"GET /patch/wendrel/v$2/$3\"" || true
}

# ---- Run 1: version 2 is staged, and arrives after the run ---------------------------------------
run "$work/run1.log" 1 2
grep -q " BITS job created" "$work/run1.log" || fail "run 1 created no background job"
[ "$(grep -c 'File added successfully' "$work/run1.log")" = 6 ] ||
  fail "run 1 did not hand the 5 files and the delta data of version 2 to the job"
all_staged a.pak && fail "a file arrived while the staging server was down"
helper_running || fail "no helper carries the job on after run 1"

stage_pid=$(start_server "$work/stage.txt" "$stage_port")
wait_for 60 all_staged a.pak data/b.pak c.pak u.pak Wendrel.exe "$delta" || fail "version 2 did not arrive in the staging folder"
wait_for 60 bash -c "! kill -0 \$(cat '$work/bits/helper.lock') 2>/dev/null" || fail "the helper did not end"
for f in a.pak data/b.pak c.pak "$delta"; do
  [ "$(requests "$work/stage.txt" 2 "$f")" = 1 ] || fail "the staging server did not serve v2/$f exactly once"
done
[ "$(requests "$work/stage.txt" 2 e.pak)" = 0 ] || fail "the whole e.pak was staged beside its delta data"

# ---- Run 2: version 2 is live and is taken from the staging folder --------------------------------
# A staged copy that went missing is downloaded as usual (which also shows how the log names a file).
rm "$install"/wd_trickle_stage/*/c.pak
run "$work/run2.log" 2 3
grep -q "TrickleDownloader successfully completed job" "$work/run2.log" || fail "run 2 did not complete the job of version 2"
for f in 'a.pak' 'data\b.pak'; do
  grep -qF "${f}': matched and moved" "$work/run2.log" || fail "run 2 did not take $f from the staging folder"
  [ "$(requests "$work/serve.txt" 2 "${f/\\//}")" = 0 ] || fail "run 2 downloaded $f again"
done
grep -qF "c.pak': matched , but the staged file is missing." "$work/run2.log" || fail "the missing staged c.pak was not noticed"
# e.pak is made from the old file and the staged delta data.
grep -qF "${delta}': matched and moved" "$work/run2.log" || fail "run 2 did not take the staged delta data"
grep -q "Delta patch complete for .*e.pak" "$work/run2.log" || fail "run 2 did not patch e.pak with the delta data"
for f in e.pak "$delta"; do
  [ "$(requests "$work/serve.txt" 2 "$f")" = 0 ] || fail "run 2 downloaded $f"
done
[ "$(requests "$work/serve.txt" 2 c.pak)" = 1 ] || fail "run 2 did not download the c.pak whose staged copy was missing"
for f in a.pak data/b.pak c.pak; do
  [ "$(requests "$work/stage.txt" 2 "$f")" = 1 ] || fail "v2/$f was fetched again for staging"
done
for f in a.pak data/b.pak c.pak u.pak e.pak; do
  cmp -s "$work/v2/$f" "$install/$f" || fail "$f is not the file of version 2 after run 2"
done
ls "$install"/e.pak_* >/dev/null 2>&1 && fail "delta data was left beside e.pak"
# Version 3 adds one file: only that one is staged for it.
grep -q "TrickleDownloader staging cache size: 1" "$work/run2.log" || fail "version 3 did not stage exactly its new file"
wait_for 60 staged d.pak || fail "the file version 3 adds did not arrive"
[ "$(requests "$work/stage.txt" 3 a.pak)" = 0 ] || fail "a file version 3 shares with version 2 was staged again"

if [ "$failures" -ne 0 ]; then
  echo "staging test: $failures failure(s); the logs are in $work (set KORVEL_STAGING_TEST_KEEP=1 to keep them)"
  exit 1
fi
echo "staging test: passed"
