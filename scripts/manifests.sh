#!/usr/bin/env bash
# Writes the package manifests of a release made by scripts/release.sh: the winget manifest
# set (version, installer and default-locale files, laid out as in the winget-pkgs
# repository) and the Scoop manifest, both for the two ZIPs, with their SHA-256 hashes.
# Usage: scripts/manifests.sh [--homepage <url>] <version> <base url> <release dir> <out dir>
#   <base url>     where the ZIPs will be published: <base url>/vantro-<version>-win64.zip
#   <release dir>  holds vantro-<version>-win64.zip and vantro-<version>-win32.zip
#   --homepage     the project's home page; by default, for a GitHub release URL
#                  (https://github.com/<owner>/<repo>/releases/download/<tag>), the repository
# The description comes from CMakeLists.txt, the license from LICENSE.
set -euo pipefail
usage="usage: scripts/manifests.sh [--homepage <url>] <version> <base url> <release dir> <out dir>"
homepage=
if [ "${1:-}" = --homepage ]; then
  homepage=${2:?$usage}
  shift 2
fi
[ $# -eq 4 ] || { echo "$usage" >&2; exit 2; }
version=$1 base=${2%/} release=$3 out=$4
root=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "manifests.sh: $*" >&2; exit 1; }
# Every value below lands unquoted in YAML and inside JSON strings: no room for surprises.
url_pattern='^https://[A-Za-z0-9._~:/?=&%+@-]+$'
[[ $version =~ ^[0-9]+(\.[0-9]+){1,3}$ ]] || fail "not a version: $version"
[[ $base =~ $url_pattern ]] || fail "not an https URL: $base"
if [ -z "$homepage" ]; then
  [[ $base =~ ^(https://github\.com/[^/]+/[^/]+)/releases/download/ ]] ||
    fail "give --homepage: the base URL is not a GitHub release"
  homepage=${BASH_REMATCH[1]}
fi
[[ $homepage =~ $url_pattern ]] || fail "not an https URL: $homepage"

description=$(sed -n 's/.*DESCRIPTION "\([^"]*\)".*/\1/p' "$root/CMakeLists.txt")
license=$(sed -n '1s/ License$//p' "$root/LICENSE")
publisher=$(sed -n 's/^Copyright (c) [0-9]* //p' "$root/LICENSE")
if [ -z "$description" ] || [ -z "$license" ] || [ -z "$publisher" ]; then
  fail "no description in CMakeLists.txt, or no license or holder in LICENSE"
fi

zip64=vantro-$version-win64.zip zip32=vantro-$version-win32.zip
for zip in "$zip64" "$zip32"; do
  [ -f "$release/$zip" ] || fail "no $zip in $release (is $version the version built?)"
done
sha() { sha256sum "$release/$1" | cut -d' ' -f1; }
sha64=$(sha "$zip64") sha32=$(sha "$zip32")

# winget: the identifier names the publisher (the vantro developers) and the package.
id=vantro.vantro schema=1.12.0
winget=$out/winget/manifests/v/vantro/vantro/$version
mkdir -p "$winget" "$out/scoop"
header() {
  echo "# yaml-language-server: \$schema=https://aka.ms/winget-manifest.$1.$schema.schema.json"
  echo
  echo "PackageIdentifier: $id"
  echo "PackageVersion: $version"
}
footer() { printf 'ManifestType: %s\nManifestVersion: %s\n' "$1" "$schema"; }
installer() {
  cat <<EOF
- Architecture: $1
  InstallerUrl: $base/$2
  InstallerSha256: ${3^^}
EOF
}

{
  header version
  echo "DefaultLocale: en-US"
  footer version
} >"$winget/$id.yaml"

{
  header installer
  cat <<EOF
InstallerType: zip
NestedInstallerType: portable
NestedInstallerFiles:
- RelativeFilePath: vantro.exe
  PortableCommandAlias: vantro
Commands:
- vantro
Installers:
EOF
  installer x64 "$zip64" "$sha64"
  installer x86 "$zip32" "$sha32"
  footer installer
} >"$winget/$id.installer.yaml"

{
  header defaultLocale
  cat <<EOF
PackageLocale: en-US
Publisher: $publisher
PackageName: vantro
PackageUrl: $homepage
License: $license
ShortDescription: $description
Moniker: vantro
Tags:
- case-sensitive
- copy
- console
EOF
  footer defaultLocale
} >"$winget/$id.locale.en-US.yaml"

# Scoop: checkver finds a newer version (from the GitHub releases when the home page is a
# GitHub repository, else in the ZIP names the home page links to); autoupdate then takes
# the ZIPs from the same base URL with the version replaced and their hashes from SHA256SUMS.
if [[ $homepage =~ ^https://github\.com/[^/]+/[^/]+$ ]]; then
  checkver="{ \"github\": \"$homepage\" }"
else
  checkver="{ \"url\": \"$homepage\", \"regex\": \"vantro-([\\\\d.]+)-win64\\\\.zip\" }"
fi
pattern=${base//"$version"/\$version}
cat >"$out/scoop/vantro.json" <<EOF
{
  "version": "$version",
  "description": "$description",
  "homepage": "$homepage",
  "license": "$license",
  "architecture": {
    "64bit": { "url": "$base/$zip64", "hash": "$sha64" },
    "32bit": { "url": "$base/$zip32", "hash": "$sha32" }
  },
  "bin": "vantro.exe",
  "checkver": $checkver,
  "autoupdate": {
    "architecture": {
      "64bit": { "url": "$pattern/vantro-\$version-win64.zip" },
      "32bit": { "url": "$pattern/vantro-\$version-win32.zip" }
    },
    "hash": { "url": "\$baseurl/SHA256SUMS", "regex": "\$sha256\\\\s+\\\\*?\$basename" }
  }
}
EOF
find "$out/winget" "$out/scoop" -type f | sort
