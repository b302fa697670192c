#!/usr/bin/env bash
# Measures vantro's copy against its peers on this machine and prints the figures.
#
#   bench/bench.sh [SIZE_MIB]
#
# SIZE_MIB (or BENCH_SIZE_MIB) is the size of the timed copy, 1024 by default.
# Other settings, all from the environment:
#   BENCH_ROUNDS      interleaved rounds of the timed copies (5)
#   BENCH_COUNT_MIB   file size for the instruction counts (64)
#   BENCH_STARTS      runs per start-up measurement (host 200, Wine a fifth of it)
#   BENCH_BUILD       build directory (build/bench in the source tree)
#   BENCH_DIR         where the files go (BENCH_BUILD/files); needs twice SIZE_MIB free
#   BENCH_SKIP        words among: throughput counts startup wine
#
# Nothing here is a test: it prints figures and fails only when a copy is wrong.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_mib=${1:-${BENCH_SIZE_MIB:-1024}}
rounds=${BENCH_ROUNDS:-5}
count_mib=${BENCH_COUNT_MIB:-64}
starts=${BENCH_STARTS:-200}
build=${BENCH_BUILD:-$root/build/bench}
work=${BENCH_DIR:-$build/files}
skip=" ${BENCH_SKIP:-} "

say() { printf '%s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}
skipped() { [[ $skip == *" $1 "* ]]; }
have() { command -v "$1" >/dev/null 2>&1; }

# The median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Seconds between two $EPOCHREALTIME readings.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f\n", b - a }'; }

# --- Build -------------------------------------------------------------------------------

build_host() {
  if [[ ! -x $build/host/vantro ]]; then
    say "Building the host binary (Release) in $build/host"
    cmake --preset host -B "$build/host" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      -S "$root" >/dev/null
  fi
  # Always brought up to date, so that the figures are those of the sources.
  cmake --build "$build/host" -j2 --target vantro >/dev/null
  vantro=$build/host/vantro
}

# --- Files -------------------------------------------------------------------------------

check_room() {
  local need_kib=$(((2 * size_mib + 2 * count_mib + 64) * 1024))
  local free_kib
  free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  ((free_kib >= need_kib)) ||
    die "$work has $((free_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB (set BENCH_DIR)"
  local avail_kib
  avail_kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
  if ((avail_kib < 3 * size_mib * 1024)); then
    warn "only $((avail_kib / 1024)) MiB of memory available: the source and the copies" \
      "($((2 * size_mib)) MiB) may not stay in the page cache, so the disk is measured too"
  fi
}

# make_file NAME MIB: random bytes, made once and kept between runs of the script.
make_file() {
  local name=$1 mib=$2
  if [[ -f $name && $(stat -c %s "$name") -eq $((mib * 1048576)) ]]; then
    return
  fi
  say "Making $work/$name ($mib MiB of random bytes)"
  head -c "$((mib * 1048576))" /dev/urandom >"$name.part"
  mv "$name.part" "$name"
}

# --- Timed copies ------------------------------------------------------------------------

tools=(vantro dd cp cat)
declare -A label=([vantro]="vantro" [dd]="dd bs=16384" [cp]="cp" [cat]="cat src > dst")

# copy_with TOOL SRC DST: one copy; standard input is empty so that vantro's pause
# returns at once.
copy_with() {
  case $1 in
    vantro) "$vantro" "$2" "$3" </dev/null >/dev/null ;;
    dd) dd if="$2" of="$3" bs=16384 status=none ;;
    cp) cp "$2" "$3" ;;
    cat) cat "$2" >"$3" ;;
  esac
}

# Every tool once per round, the order turned by one each round, so that a slow
# stretch of the machine falls on all of them alike.
measure_throughput() {
  local src=big.bin dst=big.out round turn tool t0 t1
  make_file "$src" "$size_mib"
  cat "$src" >/dev/null # into the page cache
  declare -gA seconds=() cpu=()
  local TIMEFORMAT='%3U %3S' # user and system seconds of the copy
  say "Timing $rounds interleaved rounds of a $size_mib MiB cached copy"
  for ((round = 0; round < rounds; round++)); do
    for ((turn = 0; turn < ${#tools[@]}; turn++)); do
      tool=${tools[(turn + round) % ${#tools[@]}]}
      rm -f "$dst"
      sync -f . 2>/dev/null || sync
      t0=$EPOCHREALTIME
      { time copy_with "$tool" "$src" "$dst" 2>copy.err; } 2>cpu.txt || die "$tool failed"
      t1=$EPOCHREALTIME
      cmp -s "$src" "$dst" || die "$tool: the copy differs from the source"
      seconds[$tool]+="$(elapsed "$t0" "$t1") "
      cpu[$tool]+="$(awk '{ print $1 + $2 }' cpu.txt) "
    done
    rm -f "$dst"
  done
}

# rate "SECONDS...": MiB per second of the median.
rate() { tr ' ' '\n' <<<"$1" | grep . | median | awk -v m="$size_mib" '{ printf "%.0f", m / $1 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

print_throughput() {
  local tool wall busy dd_wall dd_busy
  dd_wall=$(rate "${seconds[dd]}")
  dd_busy=$(rate "${cpu[dd]}")
  say ""
  say "Throughput: $size_mib MiB cached copy, median of $rounds interleaved rounds, every copy checked with cmp"
  say "(wall: MiB per elapsed second; cpu: MiB per second of user + system time)"
  printf '  %-16s %10s %8s %10s %8s\n' tool "wall MiB/s" "x dd" "cpu MiB/s" "x dd"
  for tool in "${tools[@]}"; do
    wall=$(rate "${seconds[$tool]}")
    busy=$(rate "${cpu[$tool]}")
    printf '  %-16s %10s %8s %10s %8s\n' "${label[$tool]}" "$wall" "$(ratio "$wall" "$dd_wall")" \
      "$busy" "$(ratio "$busy" "$dd_busy")"
  done
}

# --- Instruction and allocation counts --------------------------------------------------

# instructions TOOL SRC: user-space instructions of one whole copy, under callgrind.
instructions() {
  local out=callgrind.$1.out
  rm -f copy.out
  case $1 in
    vantro) valgrind --tool=callgrind --callgrind-out-file="$out" "$vantro" "$2" copy.out \
      </dev/null >/dev/null 2>callgrind.log ;;
    dd) valgrind --tool=callgrind --callgrind-out-file="$out" dd if="$2" of=copy.out \
      bs=16384 status=none </dev/null 2>callgrind.log ;;
  esac
  cmp -s "$2" copy.out || die "$1 under callgrind: the copy differs from the source"
  rm -f copy.out
  awk '/^summary:/ { print $2 }' "$out"
}

# The functions that called the allocator directly, with their block counts, from a
# valgrind xtree (callgrind format): a cost line that follows no call is the
# function's own. Prints "count name" lines.
direct_allocators() {
  awk '
    function name(text,   id) {
      id = text; sub(/\).*/, ")", id)
      if (text ~ /^\([0-9]+\) /) { sub(/^\([0-9]+\) /, "", text); names[id] = text }
      return id in names ? names[id] : text
    }
    /^cfn=/ { name(substr($0, 5)); next }
    /^fn=/ { fn = name(substr($0, 4)); after_call = 0; next }
    /^calls=/ { after_call = 1; next }
    /^[0-9]+( [0-9]+)+$/ {
      if (!after_call && $5 > 0) own[fn] += $5
      after_call = 0
    }
    END { for (f in own) print own[f], f }' "$1"
}

# heap_report SRC: "allocs ours runtime" for a whole vantro run, and the allocating
# functions into heap.<SRC>.txt. Ours are those whose direct allocator is defined in
# the vantro binary.
heap_report() {
  local src=$1 xtree=xtree.$1.out allocs
  rm -f copy.out
  valgrind --xtree-memory=full --xtree-memory-file="$xtree" "$vantro" "$src" copy.out \
    </dev/null >/dev/null 2>"memcheck.$1.log"
  cmp -s "$src" copy.out || die "vantro under memcheck: the copy differs from the source"
  rm -f copy.out
  allocs=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "memcheck.$1.log" | tr -d ,)
  nm -C --defined-only "$vantro" | awk '$2 ~ /^[tTwW]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
    >symbols.txt
  direct_allocators "$xtree" | while read -r n fn; do
    if grep -qxF -- "$fn" symbols.txt; then echo "ours $n $fn"; else echo "runtime $n $fn"; fi
  done >"heap.$1.txt"
  awk -v total="$allocs" '$1 == "ours" { o += $2 } $1 == "runtime" { r += $2 }
    END { print total, o + 0, r + 0 }' "heap.$1.txt"
}

measure_counts() {
  have valgrind || {
    warn "valgrind is missing: no instruction or allocation counts (apt-get install valgrind)"
    return
  }
  local small=count1.bin large=count.bin
  make_file "$small" 1
  make_file "$large" "$count_mib"
  say "Counting instructions (callgrind) and allocations (memcheck)"
  local v1 vn d1 dn
  v1=$(instructions vantro "$small")
  vn=$(instructions vantro "$large")
  d1=$(instructions dd "$small")
  dn=$(instructions dd "$large")
  say ""
  say "Instructions per MiB (callgrind, user space): whole run of $count_mib MiB / $count_mib;"
  say "per further MiB = (run of $count_mib MiB - run of 1 MiB) / $((count_mib - 1)), start-up left out"
  printf '  %-16s %14s %14s %16s\n' tool "run of ${count_mib}MiB" "per MiB" "per further MiB"
  local tool total one
  for tool in vantro dd; do
    [[ $tool == vantro ]] && total=$vn one=$v1 || total=$dn one=$d1
    printf '  %-16s %14s %14s %16s\n' "${label[$tool]}" "$total" \
      "$((total / count_mib))" "$(((total - one) / (count_mib - 1)))"
  done
  awk -v v="$vn" -v d="$dn" -v v1="$v1" -v d1="$d1" -v m="$count_mib" 'BEGIN {
    printf "  vantro / dd: %.3f per MiB, %.3f per further MiB\n", v / d, (v - v1) / (d - d1) }'

  local r1 rn
  read -r -a r1 <<<"$(heap_report "$small")"
  read -r -a rn <<<"$(heap_report "$large")"
  say ""
  say "Heap allocations of a whole vantro run (memcheck \"total heap usage\")"
  printf '  %-10s %8s %12s %14s\n' file allocs "by our code" "by C runtime"
  printf '  %-10s %8s %12s %14s\n' "1 MiB" "${r1[0]}" "${r1[1]}" "${r1[2]}"
  printf '  %-10s %8s %12s %14s\n' "$count_mib MiB" "${rn[0]}" "${rn[1]}" "${rn[2]}"
  say "  allocating functions ($count_mib MiB run):"
  sed 's/^/    /' "heap.$large.txt"
}

# --- Start-up ----------------------------------------------------------------------------

# run_seconds CMD...: "wall cpu" seconds of one run of CMD (cpu: its user + system time),
# all its streams away from pipes.
run_seconds() {
  local t0 t1 TIMEFORMAT='%3U %3S'
  t0=$EPOCHREALTIME
  { time "$@" </dev/null >/dev/null 2>&1; } 2>run.cpu || true
  t1=$EPOCHREALTIME
  printf '%s %s\n' "$(elapsed "$t0" "$t1")" "$(awk '{ print $1 + $2 }' run.cpu)"
}

# interleaved N NAME...: N rounds, each running start_NAME once for every NAME, the order
# turned by one each round (the first run after a pause is slower, under Wine above all);
# prints "NAME wall cpu" lines, each the median in seconds.
interleaved() {
  local n=$1 i turn name
  shift
  local -a names=("$@")
  for ((i = 0; i < n; i++)); do
    for ((turn = 0; turn < ${#names[@]}; turn++)); do
      name=${names[(turn + i) % ${#names[@]}]}
      printf '%s %s\n' "$name" "$(run_seconds "start_$name")"
    done
  done >starts.txt
  for name in "$@"; do
    printf '%s %s %s\n' "$name" \
      "$(awk -v k="$name" '$1 == k { print $2 }' starts.txt | median)" \
      "$(awk -v k="$name" '$1 == k { print $3 }' starts.txt | median)"
  done
}

start_true() { /bin/true; }
start_vantro() { "$vantro" missing.bin never.out; }
start_trivial() { "$wine" trivial.exe; }
start_imports() { "$wine" imports.exe; }
start_vantro_exe() { "$wine" "$build/windows/vantro.exe" missing.bin never.out; }

ms() { awk -v s="$1" 'BEGIN { printf "%.2f", s * 1000 }'; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", (a - b) * 1000 }'; }

# start_table N NAME=LABEL... -- MINUEND-SUBTRAHEND...: runs the commands interleaved and
# prints each one's medians, then the differences asked for.
start_table() {
  local n=$1 entry name wall_s cpu_s
  shift
  local -a names=() labels=()
  while [[ $1 != -- ]]; do
    names+=("${1%%=*}")
    labels+=("${1#*=}")
    shift
  done
  shift
  local -A wall=() cpu=() label=()
  while read -r name wall_s cpu_s; do
    wall[$name]=$wall_s
    cpu[$name]=$cpu_s
  done < <(interleaved "$n" "${names[@]}")
  printf '  %-42s %10s %10s\n' "" "wall ms" "cpu ms"
  for ((entry = 0; entry < ${#names[@]}; entry++)); do
    name=${names[entry]}
    label[$name]=${labels[entry]}
    printf '  %-42s %10s %10s\n' "${labels[entry]}" "$(ms "${wall[$name]}")" "$(ms "${cpu[$name]}")"
  done
  for entry in "$@"; do
    local a=${entry%-*} b=${entry#*-}
    printf '  %-42s %10s %10s\n' "${label[$a]%% (*} - ${label[$b]%% (*}" \
      "$(ms_between "${wall[$a]}" "${wall[$b]}")" "$(ms_between "${cpu[$a]}" "${cpu[$b]}")"
  done
}

# A run whose source is missing: the announcement, one error line, the end.
measure_host_startup() {
  "$vantro" missing.bin never.out </dev/null >announce.txt 2>&1 || true
  grep -q '^src=' announce.txt || die "the host binary printed no announcement"
  say ""
  say "Start-up to the announcement, host (missing source; median of $starts interleaved runs)"
  start_table "$starts" "vantro=vantro" "true=/bin/true (process creation)" -- vantro-true
  have valgrind || return 0
  local whole in_main
  valgrind --tool=callgrind --callgrind-out-file=callgrind.start.out "$vantro" missing.bin \
    never.out </dev/null >/dev/null 2>&1 || true
  whole=$(awk '/^summary:/ { print $2 }' callgrind.start.out)
  valgrind --tool=callgrind --callgrind-out-file=callgrind.main.out --collect-atstart=no \
    --toggle-collect=main "$vantro" missing.bin never.out </dev/null >/dev/null 2>&1 || true
  in_main=$(awk '/^summary:/ { print $2 }' callgrind.main.out)
  printf '  %-42s %10s\n' "instructions, whole run (callgrind)" "$whole" \
    "instructions inside main" "$in_main"
}

build_windows() {
  if [[ ! -f $build/windows/vantro.exe ]]; then
    say "Building vantro.exe in $build/windows"
    cmake --preset windows -B "$build/windows" -DBUILD_TESTING=OFF -S "$root" >/dev/null
  fi
  cmake --build "$build/windows" -j2 --target vantro >/dev/null
  # Wine's own start-up, bare and with the DLLs that vantro.exe imports.
  printf '#include <stdio.h>\nint main(void) { puts("src=trivial"); return 0; }\n' >trivial.c
  x86_64-w64-mingw32-gcc -O2 -o trivial.exe trivial.c
  printf '%s\n' '#include <windows.h>' '#include <shlwapi.h>' '#include <stdio.h>' \
    'int main(void) { puts("src=trivial"); return PathIsRelativeW(L"x") ? 0 : 1; }' \
    >imports.c
  x86_64-w64-mingw32-gcc -O2 -o imports.exe imports.c -lshlwapi
}

measure_wine_startup() {
  local server=/usr/lib/wine/wineserver
  wine=/usr/lib/wine/wine64
  if [[ ! -x $wine ]] || ! have x86_64-w64-mingw32-gcc; then
    warn "Wine or mingw-w64 is missing: no start-up figure under Wine"
    return
  fi
  build_windows
  export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$HOME/.wine-vantro}
  # A persistent server, and one warm-up run that brings up the prefix's services.
  "$server" -p20 </dev/null >/dev/null 2>&1 || true
  "$wine" trivial.exe </dev/null >/dev/null 2>&1
  "$wine" "$build/windows/vantro.exe" missing.bin never.out </dev/null >announce.txt 2>&1 || true
  grep -q '^src=' announce.txt || die "vantro.exe printed no announcement under Wine"
  local n=$((starts / 4 > 5 ? starts / 4 : 5))
  say ""
  say "Start-up to the announcement under Wine (persistent wineserver, missing source;"
  say "median of $n interleaved runs)"
  start_table "$n" "vantro_exe=vantro.exe" "trivial=trivial.exe (Wine's own start-up)" \
    "imports=imports.exe (trivial.exe + shlwapi.dll)" -- vantro_exe-trivial vantro_exe-imports
}

# --- Run ---------------------------------------------------------------------------------

main() {
  mkdir -p "$work"
  build_host
  cd "$work"
  check_room
  say "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
    "$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "files on $(df -PT . | awk 'NR == 2 { print $2 }') ($work)"
  skipped throughput || { measure_throughput && print_throughput; }
  skipped counts || measure_counts
  skipped startup || measure_host_startup
  skipped startup || skipped wine || measure_wine_startup
}

main
