#!/usr/bin/env bash
# vantro.exe end to end under Wine: the usage text, the announcement of native paths built
# from the drive link Wine reports, and the refusal of a drive without a link.
# Usage: wine_cli_test.sh <vantro.exe> <runner that starts a Windows program>
#
# Output reaches a file here, not a console, so it arrives through the tool's WriteFile
# fallback. Wine cannot open files by a \Device path, so every announced copy ends with
# "Error openning, Status=c0000034" and exit 1 there.
set -u
exe=$1
runner=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# run <args...>: runs the tool with an empty standard input; sets $output and $code.
run() {
  timeout 60 "$runner" "$exe" "$@" </dev/null >"$work/out" 2>"$work/err"
  code=$?
  output=$(cat "$work/out"; echo .)
  output=${output%.}
}

# expect <case> <wanted output> <wanted exit code>
expect() {
  if [ "$output" != "$2" ] || [ "$code" -ne "$3" ]; then
    printf 'FAIL %s: exit %s (wanted %s)\n--- got:\n%s\n--- wanted:\n%s\n--- stderr:\n%s\n' \
      "$1" "$code" "$3" "$output" "$2" "$(cat "$work/err")"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}

usage=$'Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!'
run
expect "no arguments: usage" "$usage" 1
run 'Z:\tmp\x\a'
expect "one argument: usage" "$usage" 1
run '/?'
expect "/?: usage" "$usage" 0

# The device behind Z: is whatever Wine's link reports; both paths must name the same one.
run 'Z:\tmp\x\a' 'Z:\tmp\x\b'
device=$(sed -n 's/^src=\(\\Device\\HarddiskVolume[0-9]*\)\\tmp\\x\\a$/\1/p' <<<"$output")
if [ -z "$device" ]; then
  device='\Device\HarddiskVolume<N>'
fi
expect "two Z: paths: announcement, then no open by device path" \
  "src=$device\\tmp\\x\\a"$'\n'"dst=$device\\tmp\\x\\b"$'\n\n'"Error openning, Status=c0000034"$'\n' 1

# Started by a path, the tool takes relative arguments against the program's folder,
# which Wine passes as a full path on Z:.
folder=$(cd "$(dirname "$exe")" && pwd)
folder=${folder//\//\\}
run 'sub/../Report.TXT' 'Z:\tmp\x\b'
expect "relative argument against the program's folder, kept as typed" \
  "src=$device$folder\\sub/../Report.TXT"$'\n'"dst=$device\\tmp\\x\\b"$'\n\n'"Error openning, Status=c0000034"$'\n' 1

run 'Q:\x' 'Z:\tmp\x\b'
expect "drive without a link" "Error resolving Q:\\x, Status=c0000034"$'\n' 1
run 'Z:\tmp\x\a' 'Q:\y'
expect "destination on a drive without a link" "Error resolving Q:\\y, Status=c0000034"$'\n' 1

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
