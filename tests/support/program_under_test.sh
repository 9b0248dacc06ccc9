# The updater an end-to-end script of tests/session runs, sourced by those scripts: the native
# korvel-patcher of a native build folder, or the Windows program KorvelPatcher.exe of a Windows build
# folder run under Wine (inside scripts/test's Wine session, which sets WINEPREFIX and the display),
# served in both cases by the native korvel-publish. The scripts use only what is defined here to start
# the program, so each of them runs the same cases against either.
#
#   program_setup SCRIPT BUILD [NATIVE_BUILD]
#       BUILD holds KorvelPatcher.exe (Windows: korvel-publish comes from NATIVE_BUILD) or korvel-patcher.
#       Sets windows (1 or 0), program_name (the program's file in an installation), program_file
#       (the built one) and publish.
#   host_path PATH               PATH as the program reads it (Z:\... under Wine)
#   run_program DIR [VAR=VALUE...]   the installed program in DIR (its current folder) with those
#                                    variables; returns its exit status
#   run_program_in_background DIR [VAR=VALUE...]   the same without waiting; sets program_pid, the
#                                    program's own process (kill -9 ends the program itself)
#   install_program DIR [EXTRA]  copies the built program into DIR, EXTRA bytes appended (a newer build)
#   install_sibling DIR          the game launcher's stand-in Wendrel.exe in DIR: each start appends
#                                "<current folder>|<argument>|...|" as one line to handoff.txt there
#   program_running PATTERN      whether a process of the program whose command line matches PATTERN runs
# shellcheck shell=bash

program_setup() {
  local script=$1 build
  build=$(cd "$2" && pwd -P)
  if [ -f "$build/KorvelPatcher.exe" ]; then
    windows=1
    program_name=KorvelPatcher.exe
    program_file="$build/KorvelPatcher.exe"
    sibling_file="$build/tests/hand_off_witness.exe"
    local loader=wine
    [ -s "$build/wine-loader" ] && loader=$(cat "$build/wine-loader")
    # Message boxes go to standard error, where nobody needs to press OK.
    program_command=(env KORVEL_MESSAGE_BOXES=stderr "$loader" "$program_name")
    [ -n "${3:-}" ] && [ -x "$3/tools/korvel-publish" ] ||
      { echo "$script: the native korvel-publish is missing (build the debug preset first): ${3:-no folder given}"; exit 1; }
    publish="$(cd "$3" && pwd -P)/tools/korvel-publish"
    [ -f "$sibling_file" ] || { echo "$script: $sibling_file is not built"; exit 1; }
    [ -n "${WINEPREFIX:-}" ] || { echo "$script: no Wine session (run inside scripts/test's Windows stage)"; exit 1; }
  else
    windows=0
    program_name=korvel-patcher
    program_file="$build/korvel-patcher"
    publish="$build/tools/korvel-publish"
    program_command=("./$program_name")
    [ -x "$program_file" ] && [ -x "$publish" ] || { echo "$script: programs not built in $build"; exit 1; }
  fi
}

host_path() {
  if [ "$windows" = 1 ]; then
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
  else
    echo "$1"
  fi
}

run_program() {
  local dir=$1
  shift
  (cd "$dir" && exec env "$@" "${program_command[@]}")
}

run_program_in_background() {
  local dir=$1
  shift
  (cd "$dir" && exec env "$@" "${program_command[@]}") &
  program_pid=$!
}

install_program() {
  cp "$program_file" "$1/$program_name"
  if [ -n "${2:-}" ]; then printf '%s' "$2" >>"$1/$program_name"; fi
}

install_sibling() {
  if [ "$windows" = 1 ]; then
    cp "$sibling_file" "$1/Wendrel.exe"
  else
    cat >"$1/Wendrel.exe" <<'SIBLING'
#!/bin/sh
printf '%s|' "$(pwd)" "$@" >> handoff.txt
printf '\n' >> handoff.txt
SIBLING
    chmod +x "$1/Wendrel.exe"
  fi
}

program_running() { pgrep -f "$1" >/dev/null; }
