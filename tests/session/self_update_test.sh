#!/usr/bin/env bash
# The updater replaces itself, end to end with the real program (the native one, or the Windows one
# under Wine): a served manifest lists the updater's own file as a newer build (the same program with
# bytes appended). After the run the installed program is the new build, the new instance logged the
# copy, the sibling (a stand-in that writes its folder and arguments) was started exactly once with the
# expected arguments, a second run downloads nothing and leaves no temporary copy of the program behind,
# and a third changes nothing in the installation at all. The new instance waits for the old one to let
# go of the installation, which it does as it ends: it never gives up waiting. Under Wine the command
# lines the program starts are read from Wine's trace of process starts: the restart must be the new
# copy with "PatchPatcher", the file to replace and "/multiple", started once.
#
#   self_update_test.sh <build folder> [<native build folder: korvel-publish, for a Windows build>]
set -euo pipefail

# shellcheck source=tests/support/program_under_test.sh
source "$(dirname "$0")/../support/program_under_test.sh"
program_setup "self-update test" "$@"

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "${KORVEL_SELF_UPDATE_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
fail() { echo "self-update test: $*"; failures=$((failures + 1)); }

old="$work/old" new="$work/new"
mkdir -p "$old/data" "$new/data"
install_program "$old"
install_program "$new" $'\nnew build 2\n'
echo "old data" > "$old/data/x.dat"
echo "new data" > "$new/data/x.dat"
install_sibling "$old"
cp -p "$old/Wendrel.exe" "$new/Wendrel.exe"
find "$old" "$new" -type f -exec touch -d "2024-03-01 12:00:00" {} +

"$publish" build "$new" "$work/published" >"$work/publish.txt"
"$publish" serve --root "$work/published" --port 0 --bind 127.0.0.1 >"$work/serve.txt" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/serve.txt" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "self-update test: the server did not start"; exit 1; }

install="$work/install"
cp -a "$old" "$install"
# The temporary copy the new build arrives as: the program's name with its first letter made '_'.
copy_name="_${program_name:1}"
run() {  # run LOG [VAR=VALUE...]: the installed program, as a player starts it
  local log=$1
  shift
  run_program "$install" KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$(host_path "$log")" \
    KORVEL_LOCK_WAIT=30 "$@" >>"$work/output.txt" 2>&1 || fail "the program exited with $?"
}

if [ "$windows" = 1 ]; then
  run "$work/first.log" WINEDEBUG="${WINEDEBUG:-},trace+process"
else
  run "$work/first.log"
fi
# The new instance runs on after the old one has ended: wait for its hand-off and its end.
for _ in $(seq 1 600); do
  [ -s "$install/handoff.txt" ] && ! program_running "$(basename "$work").install.$copy_name" && break
  sleep 0.1
done
sleep 0.5

cmp -s "$new/$program_name" "$install/$program_name" || fail "the installed program is not the new build"
cmp -s "$new/data/x.dat" "$install/data/x.dat" || fail "data/x.dat is not current"
grep -q "Patcher: File Copy: Complete" "$work/first.log" || fail "no instance logged the copy"
if grep -q "Another updater is still at work" "$work/first.log"; then fail "the new instance never had the installation"; fi
starts=$(wc -l < "$install/handoff.txt" 2>/dev/null || echo 0)
[ "$starts" = 1 ] || fail "the sibling was started $starts times"
line=$(head -n 1 "$install/handoff.txt" 2>/dev/null | tr -d '\r' || true)
here=$(host_path "$install")
case "$line" in
  "$here|/gamepatchpath:$here|/game:ryx|/env:testserver|/restarted|") ;;
  *) fail "unexpected hand-off: $line" ;;
esac
if [ "$windows" = 1 ]; then
  # Wine's trace line: app L"<path>" cmdline L"<command line>", with '"' and '\' escaped by a '\'.
  started=$(tr -d '\r' < "$work/output.txt" | sed -n 's/.*:CreateProcessInternalW app L".*" cmdline L"\(.*\)"$/\1/p' |
            sed -E 's/\\(["\\])/\1/g')
  restarts=$(grep -cF "$copy_name" <<<"$started" || true)
  [ "$restarts" = 1 ] || fail "the new build was started $restarts times: $started"
  expected="\"$here\\$copy_name\" PatchPatcher $here\\$program_name /multiple"
  grep -qxF "$expected" <<<"$started" || fail "the restart's command line is not $expected: $started"
fi

rm -f "$install/handoff.txt"
run "$work/second.log"
if grep -q "Patcher: Downloading " "$work/second.log"; then fail "the second run downloaded: $(grep 'Patcher: Downloading ' "$work/second.log" | head -n 3)"; fi
[ ! -e "$install/$copy_name" ] || fail "the temporary copy of the program is still there"

# A run that finds everything current writes nothing: no file, no time stamp, no attribute, no cache.
state() { find "$install" -path "$install/handoff.txt" -prune -o -printf '%P %s %T@ %C@\n' | sort; }
before=$(state)
run "$work/third.log"
after=$(state)
[ "$before" = "$after" ] || fail "a run with nothing to do changed the installation: $(diff <(echo "$before") <(echo "$after") | head -n 6)"

if [ "$failures" -ne 0 ]; then
  echo "self-update test: $failures failure(s); the session log:"
  sed 's/^/    /' "$work/first.log" | grep -v 'Discrepancy\|Internet\|Http' | tail -n 60
  exit 1
fi
echo "self-update test: passed"
