#!/usr/bin/env bash
# A game file of 5 GiB (sparse: zeros with a few random blocks, one of them past 4 GiB) is published,
# served and installed by the real program. The installed file has the published size, CRC and
# SHA-256, the download's progress reaches 100%, a second run finds nothing to do and leaves the
# file alone, and the patch cache keeps the whole size from one run to the next. Runs the native
# program or the Windows one under Wine (whose window shows the progress: the native run checks it).
#
#   large_file_test.sh <build folder> [<native build folder: korvel-publish, for a Windows build>]
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/support/program_under_test.sh
source "$source_dir/tests/support/program_under_test.sh"
program_setup "large file test" "$@"

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "${KORVEL_LARGE_FILE_TEST_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
fail() { echo "large file test: $*"; failures=$((failures + 1)); }

size=$((5 * 1024 * 1024 * 1024))
game="$work/game"
mkdir -p "$game/data"
truncate -s "$size" "$game/data/big.pak"
# A block at the start, one across 2 GiB, one across 4 GiB and one that ends the file.
for offset in 0 $((2 * 1024 * 1024 * 1024 - 4096)) $((4 * 1024 * 1024 * 1024 - 4096)) $((size - 65536)); do
  head -c 65536 /dev/urandom | dd of="$game/data/big.pak" bs=4096 seek=$((offset / 4096)) conv=notrunc status=none
done
install_sibling "$game"
"$publish" build "$game" "$work/published" --level 1 >"$work/publish.txt" 2>&1 || { cat "$work/publish.txt"; exit 1; }
manifest=$(find "$work/published" -name '*.xml.gz' | head -n 1)
gzip -dc "$manifest" >"$work/manifest.xml"
grep -q "TotalSize=\"$size\"" "$work/manifest.xml" || fail "the manifest does not give big.pak's size $size"
grep -q 'SHA256="[0-9a-f]\{64\}"' "$work/manifest.xml" || fail "the manifest gives no SHA-256 for big.pak"

"$publish" serve --root "$work/published" --port 0 --bind 127.0.0.1 >"$work/serve.txt" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9][0-9]*\).*|\1|p' "$work/serve.txt" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "large file test: the server did not start"; exit 1; }

install="$work/install"
mkdir -p "$install"
install_sibling "$install"
install_program "$install"
run_program "$install" KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$(host_path "$work/first.log")" \
  >"$work/first.txt" 2>&1 || fail "the first run exited with $?"
installed="$install/data/big.pak"
[ "$(stat -c %s "$installed" 2>/dev/null || echo 0)" = "$size" ] || fail "big.pak does not hold $size bytes"
# The updater checked the CRC and SHA-256 as it wrote the file; the bytes are compared here too.
cmp -s "$game/data/big.pak" "$installed" || fail "big.pak is not the published file"
[ "$windows" = 1 ] || grep -q "Download 100%" "$work/first.txt" || fail "the download's progress did not reach 100%: $(tail -n 5 "$work/first.txt")"
[ -z "$(find "$install" -name 'spatchpart_*' -o -name 'spatchfile_*')" ] || fail "temporaries left behind"

stamp=$(stat -c %Y "$installed")
run_program "$install" KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$(host_path "$work/second.log")" \
  >"$work/second.txt" 2>&1 || fail "the second run exited with $?"
if grep -q "Downloading " "$work/second.log"; then fail "the second run downloaded: $(grep 'Downloading ' "$work/second.log")"; fi
[ "$(stat -c %Y "$installed")" = "$stamp" ] || fail "the second run touched big.pak"
# The second run remembered the file with its whole size; a third reads that back as it was saved
# (an entry read otherwise would not match, and the document would be written again).
cache="$install/PatchCache2.xml"
grep -q "Size=\"$size\"" "$cache" 2>/dev/null || fail "the patch cache does not remember the size $size"
saved=$(stat -c %y "$cache" 2>/dev/null || echo none)
run_program "$install" KORVEL_PATCH_SERVER="127.0.0.1:$port" KORVEL_PATCH_LOG="$(host_path "$work/third.log")" \
  >"$work/third.txt" 2>&1 || fail "the third run exited with $?"
if grep -q "Downloading \|Discrepancy" "$work/third.log"; then fail "the third run found work: $(grep 'Downloading \|Discrepancy' "$work/third.log")"; fi
[ "$(stat -c %y "$cache" 2>/dev/null || echo none)" = "$saved" ] || fail "the third run did not read the patch cache back as saved"

[ "$failures" = 0 ] || exit 1
echo "large file test: passed ($size bytes installed, published body $(stat -c %s "$(find "$work/published" -name 'big.pak*' -type f | head -n 1)") bytes)"
