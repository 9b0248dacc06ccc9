#!/usr/bin/env bash
# HTTPS through WinINet under Wine, end to end: the native korvel-test-server serves a file over TLS
# with a certificate authority made for this run, and the Windows build's http_fetch asks for it through
# the platform layer. Before the authority is in the Wine prefix's machine root store the server is
# refused with a certificate error; once add_test_root has put it there, the server answers with the
# file's bytes, a server whose issuer nobody trusts is still refused, a redirect from https to plain http
# fails as such with nothing sent to the http server, one from http to https is followed, and an answer
# whose header never comes fails as a time-out after the (shortened) stall time-out. The authority is
# taken out of the store again at the end, and the server is then refused again.
#
#   win32_https_check.sh <windows build folder> <native build folder: tests/korvel-test-server>
#
# Inside scripts/test's Wine session (WINEPREFIX set, a wineserver running) it uses that session;
# otherwise it makes one of its own in a scratch prefix, inside xvfb-run, as scripts/test does.
set -euo pipefail

name="https check"
[ $# -eq 2 ] || { echo "usage: $0 <windows build folder> <native build folder>" >&2; exit 2; }
build=$(cd "$1" && pwd -P)
server_program="$2/tests/korvel-test-server"
fetch="$build/tests/http_fetch.exe"
add_root="$build/tests/add_test_root.exe"
for file in "$server_program" "$fetch" "$add_root"; do
  [ -f "$file" ] || { echo "$name: $file is not built"; exit 1; }
done

if [ -z "${WINEPREFIX:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${KORVEL_HTTPS_CHECK_DISPLAY:-}" ]; then
  KORVEL_HTTPS_CHECK_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

loader=wine
[ -s "$build/wine-loader" ] && loader=$(cat "$build/wine-loader")
work=$(mktemp -d)
server_pids=()
own_session=0
root_added=0
cleanup() {
  if [ "$root_added" = 1 ]; then "$loader" "$add_root" --remove "$(win_path "$work/certificates/ca.der")" || true; fi
  local pid
  for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ "$own_session" = 1 ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "$name: $*"; failures=$((failures + 1)); }
win_path() { local path; path=$(realpath -m "$1"); echo "Z:${path//\//\\}"; }

if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="$work/wineprefix" WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all,err+module
  mkdir -p "$WINEPREFIX"
  own_session=1
  wineserver -p
  # Wine's background services must not inherit this script's pipes.
  "$loader" wineboot </dev/null >/dev/null 2>&1
fi

# serve NAME [OPTIONS...]: korvel-test-server on a free port in the background; sets `port`.
serve() {
  local label=$1
  shift
  "$server_program" --root "$work/www" --log "$work/$label.log" "$@" >"$work/$label.out" 2>&1 &
  server_pids+=($!)
  port=""
  for _ in $(seq 1 200); do
    port=$(sed -n 's|^serving https\{0,1\}://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/$label.out" | head -n 1)
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "$name: the $label server did not start: $(cat "$work/$label.out")"
  exit 1
}

# fetch URL [VAR=VALUE...]: http_fetch under Wine; sets `result` (its line) and `body` (the file).
fetch() {
  local url=$1
  shift
  body="$work/body.$RANDOM"
  result=$(env "$@" "$loader" "$fetch" "$url" "$(win_path "$body")" 2>&1 | tr -d '\r' | tail -n 1) || true
}

mkdir -p "$work/certificates"
"$server_program" --make-certificates "$work/certificates" >/dev/null ||
  { echo "$name: the certificates could not be made"; exit 1; }
mkdir -p "$work/www"
head -c 300000 /dev/urandom >"$work/www/file.bin"
tls=(--tls "$work/certificates/server.pem" "$work/certificates/server.key")

serve plain
plain=$port
serve trusted "${tls[@]}" --redirect "/down=http://127.0.0.1:$plain/file.bin"
trusted=$port
serve front --redirect "/up=https://localhost:$trusted/file.bin"
front=$port
serve untrusted --tls "$work/certificates/untrusted-server.pem" "$work/certificates/untrusted-server.key"
untrusted=$port
serve silent "${tls[@]}" --fail-first 1:stall
silent=$port

fetch "https://localhost:$trusted/file.bin"
[[ $result == "failed "*" certificate" ]] || fail "before its authority was trusted: $result"

if "$loader" "$add_root" "$(win_path "$work/certificates/ca.der")"; then
  root_added=1
else
  fail "add_test_root could not add the authority"
fi

fetch "https://localhost:$trusted/file.bin"
[ "$result" = "status 200" ] || fail "trusted server: $result"
cmp -s "$body" "$work/www/file.bin" || fail "trusted server: the body differs from the file"

fetch "https://localhost:$untrusted/file.bin"
[[ $result == "failed "*" certificate" ]] || fail "server of an unknown issuer: $result"

fetch "https://localhost:$trusted/down"
[[ $result == "failed 12040 insecure-redirect" ]] || fail "redirect from https to http: $result"
if grep -q "file.bin" "$work/plain.log"; then fail "the plain server was asked after the redirect from https"; fi

fetch "http://127.0.0.1:$front/up"
[ "$result" = "status 200" ] || fail "redirect from http to https: $result"
cmp -s "$body" "$work/www/file.bin" || fail "redirect from http to https: the body differs from the file"

started=$(date +%s)
fetch "https://localhost:$silent/file.bin" KORVEL_STALL_TIMEOUT=3
waited=$(($(date +%s) - started))
[[ $result == "failed 12002 timeout" ]] || fail "an answer that never comes: $result"
[ "$waited" -lt 20 ] || fail "an answer that never comes was given up after $waited s (stall time-out 3 s)"

# The prefix is left as it was found: without the authority, the server is refused again.
if [ "$root_added" = 1 ]; then
  "$loader" "$add_root" --remove "$(win_path "$work/certificates/ca.der")" || fail "add_test_root could not remove the authority"
  root_added=0
  fetch "https://localhost:$trusted/file.bin"
  [[ $result == "failed "*" certificate" ]] || fail "after its authority was removed: $result"
fi

if [ "$failures" -ne 0 ]; then
  echo "$name: $failures check(s) failed"
  exit 1
fi
echo "$name: every check passed"
