#!/usr/bin/env bash
# The release a user downloads: the ZIP holds vantro.exe, the README and the LICENSE; the
# program in it carries its version resource and runs.
# Usage: package_test.sh <build dir> <version> <windres> <runner>
set -uo pipefail
build=$1 version=$2 windres=$3 runner=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
zip="$work/out/vantro-$version-win64.zip"
[ -f "$zip" ] || fail "no $zip"
listing=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$listing" = "LICENSE README.md vantro.exe " ] || fail "the ZIP holds: $listing"

mkdir "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked" || fail "unzip"
resource=$("$windres" -i "$work/unpacked/vantro.exe" -O rc 2>&1)
for value in "\"ProductName\", \"vantro\"" "\"FileVersion\", \"$version\"" \
             "\"ProductVersion\", \"$version\"" "RT_MANIFEST"; do
  grep -qF "$value" <<<"$resource" || fail "no $value in the resources"
done

cd "$work/unpacked" || fail "cd"
"$runner" ./vantro.exe "/?" </dev/null >"$work/usage.txt" 2>&1
code=$?
expected=$'Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!'
[ "$code" -eq 0 ] || fail "exit code $code"
[ "$(cat "$work/usage.txt")" = "$expected" ] || fail "printed: $(cat "$work/usage.txt")"
echo "ok: $(basename "$zip") unpacks to a working vantro.exe $version"
