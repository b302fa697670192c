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
#   BENCH_WINE_MIB    size of the copy by vantro.exe and cmd /c copy under Wine (512)
#   BENCH_BUILD       build directory (build/bench in the source tree)
#   BENCH_DIR         where the files go (BENCH_BUILD/files); needs twice SIZE_MIB
#                     and twice BENCH_WINE_MIB free
#   BENCH_SKIP        words among: throughput counts startup wine winecopy tree
#                     (wine: every part under Wine; startup: both start-up parts;
#                     winecopy: the copy under Wine; tree: the tree's copies)
#   BENCH_TREE_DIR    where the tree part's files go (/dev/shm)
#   BENCH_BEFORE_EXE  another vantro.exe (an earlier commit's build): its start-up under Wine
#                     is measured in the same rounds as this one's, before against after
#   VANTRO_WINEPREFIX Wine prefix, shared with cmake/wine-run.sh (~/.wine-vantro)
#
# Nothing here is a test: it prints figures and fails only when a copy is wrong.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size_mib=${1:-${BENCH_SIZE_MIB:-1024}}
rounds=${BENCH_ROUNDS:-5}
count_mib=${BENCH_COUNT_MIB:-64}
starts=${BENCH_STARTS:-200}
wine_mib=${BENCH_WINE_MIB:-512}
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

# The files a run keeps (source and copy of each part that runs) must fit on the disk,
# and the largest pair in the page cache.
check_room() {
  local big=0 files=$((2 * count_mib + 64))
  if ! skipped throughput; then
    files=$((files + 2 * size_mib))
    big=$size_mib
  fi
  if ! skipped wine && ! skipped winecopy; then
    files=$((files + 2 * wine_mib))
    ((wine_mib > big)) && big=$wine_mib
  fi
  local need_kib=$((files * 1024)) free_kib
  free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  ((free_kib >= need_kib)) ||
    die "$work has $((free_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB (set BENCH_DIR)"
  local avail_kib
  avail_kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
  if ((avail_kib < 3 * big * 1024)); then
    warn "only $((avail_kib / 1024)) MiB of memory available: the source and the copies" \
      "($((2 * big)) MiB) may not stay in the page cache, so the disk is measured too"
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

# run_order N ROUND: the indices 0..N-1 in the order of round ROUND. The rounds follow a
# balanced design (a Williams square): over N rounds, 2N when N is odd, every program runs
# right after every other one equally often, so that what one leaves behind (freed page
# cache, a busy server) does not fall on the same neighbour every round, as it would were
# one order only turned round.
run_order() {
  local n=$1 round=$2 t k
  local -a order=()
  for ((t = 0; t < n; t++)); do
    # 0, 1, n-1, 2, n-2, ... shifted by the round
    if ((t % 2)); then k=$(((t + 1) / 2)); else k=$(((n - t / 2) % n)); fi
    order+=("$(((k + round) % n))")
  done
  if ((n % 2 && round / n % 2)); then
    for ((t = n - 1; t >= 0; t--)); do printf '%s ' "${order[t]}"; done
  else
    printf '%s ' "${order[@]}"
  fi
}

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

# Every tool once per round, in the order of run_order, so that a slow stretch of the
# machine falls on all of them alike.
measure_throughput() {
  local src=big.bin dst=big.out round turn tool t0 t1
  make_file "$src" "$size_mib"
  cat "$src" >/dev/null # into the page cache
  declare -gA seconds=() cpu=()
  local TIMEFORMAT='%3U %3S' # user and system seconds of the copy
  say "Timing $rounds interleaved rounds of a $size_mib MiB cached copy"
  for ((round = 0; round < rounds; round++)); do
    for turn in $(run_order "${#tools[@]}" "$round"); do
      tool=${tools[turn]}
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

# rate_range "SECONDS...": the slowest and the fastest round, in MiB per second.
rate_range() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g |
    awk -v m="$size_mib" 'NR == 1 { fast = $1 } { slow = $1 }
      END { printf "%.0f-%.0f", m / slow, m / fast }'
}

print_throughput() {
  local tool wall busy dd_wall dd_busy
  dd_wall=$(rate "${seconds[dd]}")
  dd_busy=$(rate "${cpu[dd]}")
  say ""
  say "Throughput: $size_mib MiB cached copy, median of $rounds interleaved rounds, every copy checked with cmp"
  say "(wall: MiB per elapsed second; cpu: MiB per second of user + system time; wall range:"
  say "the slowest and the fastest round)"
  printf '  %-16s %10s %8s %10s %8s %12s\n' tool "wall MiB/s" "x dd" "cpu MiB/s" "x dd" "wall range"
  for tool in "${tools[@]}"; do
    wall=$(rate "${seconds[$tool]}")
    busy=$(rate "${cpu[$tool]}")
    printf '  %-16s %10s %8s %10s %8s %12s\n' "${label[$tool]}" "$wall" \
      "$(ratio "$wall" "$dd_wall")" "$busy" "$(ratio "$busy" "$dd_busy")" \
      "$(rate_range "${seconds[$tool]}")"
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

# The functions that called the allocator directly, from a valgrind xtree (callgrind
# format) and the list of functions defined in the vantro binary: a cost line that follows
# no call is the function's own. Prints "ours|runtime count name" lines; a function of the
# runtime is followed by its callers up to the first one of ours ("<- caller ...").
direct_allocators() {
  awk '
    FNR == NR { defined[$0] = 1; next }
    function name(text,   id) {
      id = text; sub(/\).*/, ")", id)
      if (text ~ /^\([0-9]+\) /) { sub(/^\([0-9]+\) /, "", text); names[id] = text }
      return id in names ? names[id] : text
    }
    /^cfn=/ { callee = name(substr($0, 5)); next }
    /^fn=/ { fn = name(substr($0, 4)); after_call = 0; next }
    /^calls=/ { after_call = 1; next }
    /^[0-9]+( [0-9]+)+$/ {
      if (after_call) { if ($5 > 0 && !(callee in caller)) caller[callee] = fn }
      else if ($5 > 0) own[fn] += $5
      after_call = 0
    }
    END {
      for (f in own) {
        chain = ""
        for (g = f; !(g in defined) && (g in caller) && steps++ < 64; ) {
          g = caller[g]; chain = chain " <- " g
        }
        print (f in defined ? "ours" : "runtime"), own[f], f chain
      }
    }' "$2" "$1"
}

# heap_report SRC INPUT: "allocs bytes ours runtime" for a whole vantro run copying SRC
# into heap.SRC.INPUT.sum, and its allocating functions ("ours|runtime count name") into
# heap.SRC.INPUT.txt.
# INPUT is null (standard input from /dev/null) or tty (a terminal from script(1), with
# Enter typed for the pause). Ours are the allocations whose direct caller is defined in
# the vantro binary.
heap_report() {
  local src=$1 input=$2 tag=$1.$2
  local xtree=xtree.$tag.out log=memcheck.$tag.log allocs bytes
  local -a run=(valgrind --log-file="$log" --xtree-memory=full --xtree-memory-file="$xtree"
    "$vantro" "$src" copy.out)
  rm -f copy.out "$xtree" "$log"
  if [[ $input == tty ]]; then
    printf '\n' | SHELL=$BASH timeout 120 script -qfec "$(printf '%q ' "${run[@]}")" /dev/null \
      >/dev/null 2>&1 || die "vantro under memcheck with a terminal failed"
  else
    "${run[@]}" </dev/null >/dev/null 2>&1 || die "vantro under memcheck failed"
  fi
  cmp -s "$src" copy.out || die "vantro under memcheck: the copy differs from the source"
  rm -f copy.out
  read -r allocs bytes < <(tr -d , <"$log" |
    sed -n 's/.*total heap usage: \([0-9]*\) allocs [0-9]* frees \([0-9]*\) bytes.*/\1 \2/p') || true
  [[ -n ${allocs:-} ]] || die "no heap summary in $work/$log"
  nm -C --defined-only "$vantro" | awk '$2 ~ /^[tTwW]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
    >symbols.txt
  [[ -f $xtree ]] || : >"$xtree"
  direct_allocators "$xtree" symbols.txt >"heap.$tag.txt"
  awk -v total="$allocs" -v bytes="$bytes" '$1 == "ours" { o += $2 } $1 == "runtime" { r += $2 }
    END { print total, bytes, o + 0, r + 0 }' "heap.$tag.txt" >"heap.$tag.sum"
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

  # Standard input redirected (the pause does not read it) for both sizes; then a
  # terminal, where the pause reads Enter, for comparison.
  local -a runs=("$small null" "$large null")
  if have script; then
    runs+=("$small tty")
  else
    warn "script (util-linux) is missing: no allocation count with a terminal on standard input"
  fi
  local -A what=([null]="input </dev/null" [tty]="input a terminal")
  local -A mib=([$small]=1 [$large]=$count_mib)
  local entry src input allocs bytes ours runtime
  say ""
  say "Heap allocations of a whole vantro run (memcheck \"total heap usage\"), split by the"
  say "function that called the allocator: ours if defined in the vantro binary, else the C"
  say "runtime's"
  printf '  %-30s %8s %8s %12s %14s\n' run allocs bytes "by our code" "by C runtime"
  for entry in "${runs[@]}"; do
    read -r src input <<<"$entry"
    heap_report "$src" "$input"
    read -r allocs bytes ours runtime <"heap.$src.$input.sum"
    printf '  %-30s %8s %8s %12s %14s\n' "${mib[$src]} MiB, ${what[$input]}" "$allocs" "$bytes" \
      "$ours" "$runtime"
    ((ours + runtime == allocs)) ||
      warn "memcheck counted $allocs allocations; its xtree names the callers of" \
        "$((ours + runtime))"
  done
  say "  allocating functions (whose, blocks, direct caller <- its callers up to our code):"
  for entry in "${runs[@]}"; do
    read -r src input <<<"$entry"
    if [[ -s heap.$src.$input.txt ]]; then
      sed "s/^/    ${mib[$src]} MiB, ${what[$input]}: /" "heap.$src.$input.txt"
    else
      say "    ${mib[$src]} MiB, ${what[$input]}: none, 0 allocations"
    fi
  done
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

# interleaved N NAME...: N rounds, each running start_NAME once for every NAME in the
# order of run_order (the first run after a pause is slower, under Wine above all);
# prints "NAME wall cpu" lines, each the median in seconds.
interleaved() {
  local n=$1 i turn name
  shift
  local -a names=("$@")
  for ((i = 0; i < n; i++)); do
    for turn in $(run_order "${#names[@]}" "$i"); do
      name=${names[turn]}
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
start_before_exe() { "$wine" "$before_exe" missing.bin never.out; }

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

# --- Under Wine ----------------------------------------------------------------------------

# vantro.exe (Release) and the test-drive tool, which gives vantro.exe a drive letter whose
# link Wine can open files through.
build_windows() {
  if [[ ! -f $build/windows/vantro.exe || ! -f $build/windows/tests/vantro_test_drive.exe ]]; then
    say "Building vantro.exe and vantro_test_drive.exe in $build/windows"
    cmake --preset windows -B "$build/windows" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
      -S "$root" >/dev/null || die "the windows preset does not configure"
  fi
  cmake --build "$build/windows" -j2 --target vantro vantro_test_drive >/dev/null ||
    die "vantro.exe or vantro_test_drive.exe does not build"
  vantro_exe=$build/windows/vantro.exe
  drive_tool=$build/windows/tests/vantro_test_drive.exe
}

# Once per run of the script: the build, the prefix (made by the project's runner when it
# is new), a persistent server and one warm-up run. Fails with a warning when a tool is
# missing.
wine_ready=
prepare_wine() {
  [[ -z $wine_ready ]] || return "$wine_ready"
  wine_ready=1
  local server=/usr/lib/wine/wineserver
  wine=/usr/lib/wine/wine64
  if [[ ! -x $wine ]] || ! have x86_64-w64-mingw32-gcc; then
    warn "Wine or mingw-w64 is missing: no figures under Wine (apt-get install wine64 mingw-w64)"
    return 1
  fi
  build_windows
  export VANTRO_WINEPREFIX=${VANTRO_WINEPREFIX:-$HOME/.wine-vantro}
  export WINEDEBUG=-all WINEPREFIX=$VANTRO_WINEPREFIX
  # Every stream away from pipes: Wine's helper processes keep them open for seconds.
  bash "$root/cmake/wine-run.sh" cmd.exe /c exit </dev/null >/dev/null 2>&1 ||
    die "Wine does not start in $WINEPREFIX"
  "$server" -p20 </dev/null >/dev/null 2>&1 || true
  wine_ready=0
}

# Wine's own start-up, bare and importing shlwapi.dll (as vantro.exe did until its path
# functions were bound from kernelbase.dll).
build_wine_probes() {
  printf '#include <stdio.h>\nint main(void) { puts("src=trivial"); return 0; }\n' >trivial.c
  x86_64-w64-mingw32-gcc -O2 -o trivial.exe trivial.c
  printf '%s\n' '#include <windows.h>' '#include <shlwapi.h>' '#include <stdio.h>' \
    'int main(void) { puts("src=trivial"); return PathIsRelativeW(L"x") ? 0 : 1; }' \
    >imports.c
  x86_64-w64-mingw32-gcc -O2 -o imports.exe imports.c -lshlwapi
}

measure_wine_startup() {
  prepare_wine || return 0
  build_wine_probes
  "$wine" trivial.exe </dev/null >/dev/null 2>&1
  "$wine" "$vantro_exe" missing.bin never.out </dev/null >announce.txt 2>&1 || true
  grep -q '^src=' announce.txt || die "vantro.exe printed no announcement under Wine"
  local n=$((starts / 4 > 5 ? starts / 4 : 5))
  local -a before=() differences=(vantro_exe-trivial vantro_exe-imports)
  if [[ -n ${BENCH_BEFORE_EXE:-} ]]; then
    before_exe=$(realpath "$BENCH_BEFORE_EXE") # Wine cannot start a path with ".."
    "$wine" "$before_exe" missing.bin never.out </dev/null >/dev/null 2>&1 || true
    before=("before_exe=vantro.exe before (BENCH_BEFORE_EXE)")
    differences+=(before_exe-trivial)
  fi
  say ""
  say "Start-up to the announcement under Wine (persistent wineserver, missing source;"
  say "median of $n interleaved runs)"
  start_table "$n" "vantro_exe=vantro.exe" "${before[@]}" \
    "trivial=trivial.exe (Wine's own start-up)" \
    "imports=imports.exe (trivial.exe + shlwapi.dll)" -- "${differences[@]}"
}

# The test drive of the copy under Wine (letter and folder), released however the script
# ends.
drive=''
drive_folder=''
release_drive() {
  [[ -n $drive ]] || return 0
  "$wine" "$drive_tool" --remove "$drive" "$drive_folder" </dev/null >/dev/null 2>release.err ||
    warn "test drive $drive: not released ($(cat release.err);" \
      "vantro_test_drive.exe --remove $drive $drive_folder)"
  drive=
}

# The runs under Wine, by name; standard input empty, output to a file. cmd.exe goes by its
# full path, which Wine starts in one process like vantro.exe; by its bare name ("cmd"),
# Wine's launcher starts it as a second process, whose CPU time `time` does not see.
cmd_exe='C:\windows\system32\cmd.exe'
wine_names=(vantro_exe cmd_exe cmd vantro_exe_start cmd_exe_start)
declare -A wine_label=(
  [vantro_exe]='vantro.exe X:\wine.bin X:\wine.out'
  [cmd_exe]='cmd.exe /c copy Z:\..\wine.bin Z:\..\wine.out'
  [cmd]='cmd /c copy (bare name: + a launcher process)'
  [vantro_exe_start]='vantro.exe X:\missing.bin X:\never.out'
  [cmd_exe_start]='cmd.exe /c rem')
wine_run() {
  local windows_dir=Z:${PWD//\//\\}
  case $1 in
    vantro_exe) "$wine" "$vantro_exe" "$drive:\\wine.bin" "$drive:\\wine.out" ;;
    cmd_exe) "$wine" "$cmd_exe" /c copy "$windows_dir\\wine.bin" "$windows_dir\\wine.out" ;;
    cmd) "$wine" cmd /c copy "$windows_dir\\wine.bin" "$windows_dir\\wine.out" ;;
    vantro_exe_start) "$wine" "$vantro_exe" "$drive:\\missing.bin" "$drive:\\never.out" ;;
    cmd_exe_start) "$wine" "$cmd_exe" /c rem ;;
  esac </dev/null >wine.log 2>&1
}

# vantro.exe copying through a test drive against Wine's own cmd /c copy of the same file
# by its Z: path, each with its Wine start-up; and each program's start-up alone, so that
# the copy can be read without it. Interleaved rounds in the order of run_order.
measure_wine_copy() {
  prepare_wine || return 0
  local src=wine.bin dst=wine.out round turn name t0 t1 TIMEFORMAT='%3U %3S'
  make_file "$src" "$wine_mib"
  cat "$src" >/dev/null # into the page cache
  trap 'release_drive' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  drive_folder=$PWD
  "$wine" "$drive_tool" auto "$drive_folder" </dev/null >drive.txt 2>drive.err ||
    die "no test drive for $drive_folder: $(cat drive.err)"
  drive=$(tr -dc '[:upper:]' <drive.txt)
  [[ ${#drive} -eq 1 ]] || die "the test-drive tool printed no letter: $(cat drive.txt drive.err)"
  wine_label[vantro_exe]=${wine_label[vantro_exe]//X:/$drive:}
  wine_label[vantro_exe_start]=${wine_label[vantro_exe_start]//X:/$drive:}
  # A first copy: the announcement names the file inside Wine's namespace.
  rm -f "$dst"
  wine_run vantro_exe || die "vantro.exe failed: $(cat wine.log)"
  grep -qF "src=\\??\\Z:${PWD//\//\\}\\$src" wine.log ||
    die "vantro.exe announced another source: $(cat wine.log)"
  cmp -s "$src" "$dst" || die "vantro.exe under Wine: the copy differs from the source"
  # And one untimed run of each of the others: the first run of a program after the
  # others pays for pages and files they have not touched.
  for name in "${wine_names[@]:1}"; do
    rm -f "$dst"
    wine_run "$name" || [[ $name == *_start ]] || die "$name failed: $(cat wine.log)"
  done
  declare -gA wine_wall=() wine_cpu=()
  say "Timing $rounds interleaved rounds of a $wine_mib MiB cached copy under Wine" \
    "(test drive $drive: -> $PWD)"
  for ((round = 0; round < rounds; round++)); do
    for turn in $(run_order "${#wine_names[@]}" "$round"); do
      name=${wine_names[turn]}
      rm -f "$dst"
      sync -f . 2>/dev/null || sync
      t0=$EPOCHREALTIME
      { time wine_run "$name"; } 2>cpu.txt || [[ $name == *_start ]] ||
        die "$name failed: $(cat wine.log)"
      t1=$EPOCHREALTIME
      if [[ $name != *_start ]]; then
        cmp -s "$src" "$dst" || die "$name under Wine: the copy differs from the source"
      fi
      wine_wall[$name]+="$(elapsed "$t0" "$t1") "
      wine_cpu[$name]+="$(awk '{ print $1 + $2 }' cpu.txt) "
    done
  done
  rm -f "$dst"
  release_drive
  trap - EXIT INT TERM
  print_wine_copy
}

# med "SECONDS...": the median.
med() { tr ' ' '\n' <<<"$1" | grep . | median; }
# calc EXPRESSION VAR=VALUE...: awk's arithmetic.
calc() {
  local expression=$1 assignment
  shift
  local -a vars=()
  for assignment in "$@"; do vars+=(-v "$assignment"); done
  awk "${vars[@]}" "BEGIN { print $expression }"
}

print_wine_copy() {
  local -A wall=() cpu=()
  local name net_vantro net_cmd
  for name in "${wine_names[@]}"; do
    wall[$name]=$(med "${wine_wall[$name]}")
    cpu[$name]=$(med "${wine_cpu[$name]}")
  done
  # wine_row LABEL WALL CPU [RANGE [CMD_WALL]]: with MiB per second and the speed against
  # cmd.exe's when CMD_WALL is given.
  wine_row() {
    if [[ $# -lt 5 ]]; then
      printf '  %-48s %8.3f %8s %8s %9s %12s\n' "$1" "$2" "$3" "" "" "${4:-}"
    else
      printf '  %-48s %8.3f %8s %8.0f %9.3f %12s\n' "$1" "$2" "$3" \
        "$(calc '(s > 0 ? m / s : 0)' m="$wine_mib" s="$2")" \
        "$(calc '(s > 0 ? c / s : 0)' c="$5" s="$2")" "$4"
    fi | sed 's/ *$//'
  }
  # wine_range "SECONDS...": the fastest and the slowest round.
  wine_range() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g |
      awk 'NR == 1 { f = $1 } { s = $1 } END { printf "%.3f-%.3f", f, s }'
  }
  say ""
  say "Copy under Wine: $wine_mib MiB cached file, median of $rounds interleaved rounds, every copy"
  say "checked with cmp; Wine's start-up included (persistent wineserver). cpu: user + system"
  say "time of the program (not of the wineserver); x cmd.exe: speed against cmd.exe's copy"
  printf '  %-48s %8s %8s %8s %9s %12s\n' "" "wall s" "cpu s" "MiB/s" "x cmd.exe" "wall range"
  for name in vantro_exe cmd_exe cmd; do
    wine_row "${wine_label[$name]}" "${wall[$name]}" \
      "$([[ $name == cmd ]] && echo - || printf '%.3f' "${cpu[$name]}")" \
      "$(wine_range "${wine_wall[$name]}")" "${wall[cmd_exe]}"
  done
  say "  start-up alone:"
  for name in vantro_exe_start cmd_exe_start; do
    wine_row "${wine_label[$name]}" "${wall[$name]}" "$(printf '%.3f' "${cpu[$name]}")" \
      "$(wine_range "${wine_wall[$name]}")"
  done
  say "  the copy without the start-up (copy - start-up alone):"
  net_vantro=$(calc 'c - s' c="${wall[vantro_exe]}" s="${wall[vantro_exe_start]}")
  net_cmd=$(calc 'c - s' c="${wall[cmd_exe]}" s="${wall[cmd_exe_start]}")
  wine_row "vantro.exe" "$net_vantro" \
    "$(printf '%.3f' "$(calc 'c - s' c="${cpu[vantro_exe]}" s="${cpu[vantro_exe_start]}")")" \
    "" "$net_cmd"
  wine_row "cmd.exe /c copy" "$net_cmd" \
    "$(printf '%.3f' "$(calc 'c - s' c="${cpu[cmd_exe]}" s="${cpu[cmd_exe_start]}")")" "" \
    "$net_cmd"
}

# --- A tree --------------------------------------------------------------------------------

# The tree of the tree part, on tmpfs: 5,000 files of 1 KiB in 50 folders and one 64 MiB
# file, made once per run of the script and removed at its end.
tree_dir=''
make_tree() {
  tree_dir=$(mktemp -d "${BENCH_TREE_DIR:-/dev/shm}/vantro-bench-tree.XXXXXX")
  local folder file
  head -c 1024 /dev/urandom >"$tree_dir/one.kib"
  for ((folder = 0; folder < 50; folder++)); do
    mkdir -p "$tree_dir/src/folder$folder"
    for ((file = 0; file < 100; file++)); do
      cp "$tree_dir/one.kib" "$tree_dir/src/folder$folder/file$file.txt"
    done
  done
  head -c $((64 << 20)) /dev/urandom >"$tree_dir/src/big.bin"
  rm "$tree_dir/one.kib"
}
remove_tree() {
  release_drive
  [[ -z $tree_dir ]] || rm -rf "$tree_dir"
  tree_dir=''
}

# tree_run NAME: one copy of the tree into a destination that does not exist yet.
tree_run() {
  local windows=Z:${tree_dir//\//\\}
  rm -rf "$tree_dir/dst"
  case $1 in
    vantro) "$vantro" "$windows\\src" "$windows\\dst" /E ;;
    cp) cp -a "$tree_dir/src" "$tree_dir/dst" ;;
    vantro_exe) "$wine" "$vantro_exe" "$drive:\\src" "$drive:\\dst" /E ;;
    xcopy) "$wine" xcopy "$windows\\src" "$windows\\dst" /E /I /Y /Q /K /H ;;
  esac </dev/null >tree.log 2>&1 || die "$1 failed to copy the tree: $(tail -3 tree.log)"
  diff -r "$tree_dir/src" "$tree_dir/dst" >/dev/null || die "$1: the tree's copy differs"
}

# tree_command NAME: the command of a tree's copy into dst, as tree_run gives it.
tree_command() {
  local windows=Z:${tree_dir//\//\\}
  case $1 in
    vantro) printf '%s\0' "$vantro" "$windows\\src" "$windows\\dst" /E ;;
    vantro_exe) printf '%s\0' "$wine" "$vantro_exe" "$drive:\\src" "$drive:\\dst" /E ;;
  esac
}

# second_runs NAME: the same command again over the tree's unfinished copy, as a run leaves
# it: whole (its rename failed: the copy renamed back, with the record the run wrote), and
# stopped by SIGINT half way. Prints the seconds of the second run in each case; no file's data
# is read in the first.
second_runs() {
  local -a command
  local t0 whole half source
  mapfile -d '' -t command < <(tree_command "$1")
  tree_run "$1"
  source=$(sed -n 's/^src=//p' tree.log | tr -d '\r')
  mv "$tree_dir/dst" "$tree_dir/dst.partial"
  printf 'vantro unfinished copy of\n%s' "$source" | iconv -t UTF-16LE \
    >"$tree_dir/dst.partial/.vantro-unfinished"
  t0=$EPOCHREALTIME
  "${command[@]}" </dev/null >again.log 2>&1 || die "$1 did not finish a whole tree: $(tail -3 again.log)"
  whole=$(elapsed "$t0" "$EPOCHREALTIME")
  grep -q ' 0 files, 5001 already there' again.log || die "$1 copied again: $(tail -2 again.log)"
  rm -rf "$tree_dir/dst"
  env --default-signal=INT "${command[@]}" </dev/null >stopped.log 2>&1 &
  # Half way: 25 of the 50 folders and the big file begun.
  until [[ $(find "$tree_dir/dst.partial" -maxdepth 1 2>/dev/null | wc -l) -gt 27 ]]; do
    sleep 0.005
  done
  kill -INT $! 2>/dev/null
  wait $! && die "$1 was not stopped half way: copy a larger tree"
  t0=$EPOCHREALTIME
  "${command[@]}" </dev/null >again.log 2>&1 || die "$1 did not finish: $(tail -3 again.log)"
  half=$(elapsed "$t0" "$EPOCHREALTIME")
  diff -r "$tree_dir/src" "$tree_dir/dst" >/dev/null || die "$1: the finished tree differs"
  printf '%s %s\n' "$whole" "$half"
}

# second_rows LABEL FULL WHOLE HALF: the second runs beside the full copy.
second_rows() {
  printf '  %-44s %8.3f s  (%.2f of a full copy; goal: at most 0.20)\n' \
    "$1, nothing left to copy" "$3" "$(calc 'w / f' w="$3" f="$2")"
  printf '  %-44s %8.3f s  (%.2f of a full copy)\n' "$1, stopped half way" "$4" \
    "$(calc 'h / f' h="$4" f="$2")"
}

# tree_pairs A B: median wall seconds of A and of B over alternated pairs (A first in even
# rounds, B first in odd ones), at least five.
tree_pairs() {
  local round name t0 walls_a='' walls_b=''
  local -a order
  for ((round = 0; round < (rounds > 5 ? rounds : 5); round++)); do
    ((round % 2 == 0)) && order=("$1" "$2") || order=("$2" "$1")
    for name in "${order[@]}"; do
      t0=$EPOCHREALTIME
      tree_run "$name"
      if [[ $name == "$1" ]]; then
        walls_a+="$(elapsed "$t0" "$EPOCHREALTIME") "
      else
        walls_b+="$(elapsed "$t0" "$EPOCHREALTIME") "
      fi
    done
  done
  printf '%s %s\n' "$(med "$walls_a")" "$(med "$walls_b")"
}

measure_tree() {
  make_tree
  trap 'remove_tree' EXIT
  local vantro_s cp_s exe_s xcopy_s allocs whole half
  say ""
  say "A tree on tmpfs: 5,000 files of 1 KiB in 50 folders and one 64 MiB file; medians of"
  say "alternated pairs, start-up included, every copy checked with diff -r"
  read -r vantro_s cp_s < <(tree_pairs vantro cp)
  printf '  %-44s %8.3f s\n  %-44s %8.3f s\n' "vantro src dst /E" "$vantro_s" "cp -a src dst" "$cp_s"
  printf '  vantro / cp -a: %.2f (goal: at most 1.5)\n' "$(calc 'a / b' a="$vantro_s" b="$cp_s")"
  second_runs vantro >second.txt
  read -r whole half <second.txt
  second_rows "the same command again" "$vantro_s" "$whole" "$half"
  if have valgrind; then
    rm -rf "$tree_dir/dst"
    valgrind --log-file=tree.memcheck "$vantro" "Z:${tree_dir//\//\\}\\src" \
      "Z:${tree_dir//\//\\}\\dst" /E </dev/null \
      >/dev/null 2>&1 || die "vantro /E under memcheck failed"
    allocs=$(tr -d , <tree.memcheck | sed -n 's/.*total heap usage: \([0-9]*\) allocs.*/\1/p')
    say "  heap allocations of vantro /E, input redirected (memcheck): ${allocs:-?}"
  fi
  if ! skipped wine && prepare_wine; then
    drive_folder=$tree_dir
    "$wine" "$drive_tool" auto "$drive_folder" </dev/null >drive.txt 2>drive.err ||
      die "no test drive for $drive_folder: $(cat drive.err)"
    drive=$(tr -dc '[:upper:]' <drive.txt)
    tree_run vantro_exe && tree_run xcopy # the first run of each pays for cold pages
    read -r exe_s xcopy_s < <(tree_pairs vantro_exe xcopy)
    printf '  %-44s %8.3f s\n  %-44s %8.3f s\n' "vantro.exe X:\\src X:\\dst /E (Wine)" "$exe_s" \
      "xcopy src dst /E /I /Y /Q /K /H (Wine)" "$xcopy_s"
    printf '  xcopy / vantro.exe: %.2f (goal: at least 2)\n' \
      "$(calc 'b / a' a="$exe_s" b="$xcopy_s")"
    second_runs vantro_exe >second.txt
    read -r whole half <second.txt
    second_rows "the same command again (Wine)" "$exe_s" "$whole" "$half"
  fi
  remove_tree
  trap - EXIT
}

# --- Run ---------------------------------------------------------------------------------

main() {
  # Absolute, for Wine, which cannot start a program by a relative path with "..".
  mkdir -p "$build" "$work"
  build=$(cd "$build" && pwd)
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
  skipped winecopy || skipped wine || measure_wine_copy
  skipped tree || measure_tree
}

main
