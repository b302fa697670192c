# Sourced by the console tests: makes a copy of a 256 MiB source long from outside, not by its
# size, so that its progress line shows. The copy starts stopped (SIGSTOP) and runs in slices:
# short ones until its announcement shows; then, for a little over the second its progress
# waits, slices that keep it below half of its source; then on until the prompt shows (or, with
# its output redirected, at once). Its text is read while it is stopped.
# duty_cycle <pid> <copy file> <deadline, in SECONDS> <nap FIFO> <command printing its text...>:
# sets midway to the first progress line seen mid-copy.
duty_cycle() {
  local pid=$1 copy=$2 end=$3 nap=$4 since= text
  shift 4
  midway=
  while [ "$SECONDS" -lt "$end" ]; do
    text=$("$@")
    midway=${midway:-$(grep -E '^ +[0-9]{1,2}%  [0-9.]+ MiB of 256\.00 MiB$' <<<"$text")}
    grep -q '^dst=' <<<"$text" && since=${since:-${EPOCHREALTIME/[.,]/}}
    if [ -z "$since" ]; then
      kill -CONT "$pid" && sleep 0.02
    elif [ $((${EPOCHREALTIME/[.,]/} - since)) -lt 1200000 ]; then
      sleep 0.1
      [ "$(stat -c %s "$copy" 2>/dev/null || echo 0)" -lt $((128 << 20)) ] &&
        kill -CONT "$pid" && read -rt 0.003 <>"$nap"
    elif [ -n "$midway" ] || grep -qx "$prompt" <<<"$text" || [ -n "${redirected:-}" ]; then
      break
    else
      sleep 0.1 && kill -CONT "$pid" && read -rt 0.003 <>"$nap"
    fi
    kill -STOP "$pid" 2>/dev/null || break
  done
  kill -CONT "$pid" 2>/dev/null
}
