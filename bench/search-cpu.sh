#!/usr/bin/env bash
# The share of a core a program uses while it runs idle, from the kernel's accounting of the process:
# /proc/PID/stat (user and system time, in clock ticks) and /proc/PID/schedstat (time on a CPU, in ns), read after
# 5 s of settling and again SECONDS later; then the program is ended.
#   bench/search-cpu.sh SECONDS COMMAND [ARG...]
set -euo pipefail
seconds=$1
shift
"$@" > /dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
sleep 5
kill -0 $pid 2>/dev/null || { echo "search-cpu: $1 ended early" >&2; exit 1; }
hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
ns() { awk '{print $1}' "/proc/$pid/schedstat"; }
t0=$(ticks) n0=$(ns) start=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks) n1=$(ns) end=$(date +%s.%N)
awk -v t="$((t1 - t0))" -v n="$((n1 - n0))" -v hz="$hz" -v s0="$start" -v s1="$end" -v what="$(basename "$1")${2:+ ${*:2}}" 'BEGIN {
    wall = s1 - s0
    printf "%s over %.0f s: %.3f%% of a core by /proc/PID/stat (%d ticks of 1/%d s), %.3f%% by schedstat (%.1f ms)\n",
           what, wall, 100 * t / hz / wall, t, hz, 100 * n / 1e9 / wall, n / 1e6 }'
