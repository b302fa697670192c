#!/usr/bin/env bash
# Makes the release into <out dir>: builds the presets windows and windows32, packages each
# as a ZIP (vantro-<version>-win64.zip, vantro-<version>-win32.zip) and writes SHA256SUMS
# beside them, in the format `sha256sum -c SHA256SUMS` checks.
# Usage: scripts/release.sh [--no-build] <out dir>
#   --no-build  packages the build folders as they are (the test command has built them)
set -euo pipefail
build=1
if [ "${1:-}" = --no-build ]; then
  build=0
  shift
fi
[ $# -eq 1 ] || { echo "usage: scripts/release.sh [--no-build] <out dir>" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for preset in windows windows32; do
  if [ "$build" -eq 1 ]; then
    cmake --preset "$preset" </dev/null && cmake --build --preset "$preset" -j2 </dev/null
  elif [ ! -f "build/$preset/vantro.exe" ]; then
    echo "build/$preset/vantro.exe is missing: build the preset $preset first" >&2
    exit 1
  fi
  cpack --preset "$preset" -B "$stage" >"$stage/cpack-$preset.log" 2>&1 ||
    { cat "$stage/cpack-$preset.log" >&2; exit 1; }
done

# Only the two ZIPs and their sums: nothing of an earlier release stays beside them.
rm -f "$out"/vantro-*.zip "$out/SHA256SUMS"
mv "$stage"/vantro-*-win64.zip "$stage"/vantro-*-win32.zip "$out/"
cd "$out"
sha256sum vantro-*.zip >SHA256SUMS
cat SHA256SUMS
