#!/usr/bin/env bash
# Resume, measured with real processes over loopback.
#
# Cuts: a copy of one file of --size-mib MiB (default 1024) is killed outright (SIGKILL) at
# --points random points between 5% and 95% of the file, the sender (--kill sender) or the
# server (--kill server, restarted at once); then the same `send` runs again. Per point: x,
# the part the server had when it was cut (its partial file's length), the bytes the second
# copy sent (the file's size less what its "Resuming" line says was there already), the bound
# (100 - x)% of the file + 8 MiB, and whether the file arrived byte for byte.
#
# Tree (--tree): a tree of 1,000 files, 8 of 20 MiB (large enough to be kept when cut) among
# 992 of 1 to 64 KiB in ten folders, cut at --points random points (default 10) between 5%
# and 95% of its bytes, first with the sender killed, then with the server killed (and
# restarted at once). After a killed sender a new `send` of the tree follows; after a killed
# server the sender, run with --retry 60, finds the new server by itself and goes on. Per
# point: x (what the server had: whole files and partial files), what was left, the bytes sent
# after the cut, and whether `diff -r` finds the trees equal. "Sent after" is the new send's
# "sent over the network" for a killed sender, and for a killed server an upper bound: the
# retrying send's whole "sent over the network" less what the server had at the cut.
#
# Cost: --rounds rounds of an uncut copy of the same file into `serve --once`, each with the
# extension's version 1 (FERROWARDEN_EXTENSION=1: no times, digests or resume) and version 2
# in turn; the median and spread of each one's seconds and CPU seconds (user + system, GNU
# time) of either side, and of the per-round ratios. On a loaded machine the CPU seconds say
# more than the seconds.
#
# Run it on a quiet machine: it prints the load average before and after.
#
# usage: bench/resume-bench.sh [--size-mib M] [--points N] [--kill sender|server] [--rounds R]
#        bench/resume-bench.sh --tree [--points N] [--rounds R]
set -euo pipefail

SIZE_MIB=1024 POINTS=30 KILL=sender ROUNDS=5 TREE=0 POINTS_SET=0 ROUNDS_SET=0
while [ $# -gt 0 ]; do
  case "$1" in
    --size-mib) SIZE_MIB=$2; shift 2 ;;
    --points) POINTS=$2; POINTS_SET=1; shift 2 ;;
    --tree) TREE=1; shift ;;
    --kill) KILL=$2; shift 2 ;;
    --rounds) ROUNDS=$2; ROUNDS_SET=1; shift 2 ;;
    *) echo "usage: $0 [--size-mib M] [--points N] [--kill sender|server] [--rounds R] | --tree [--points N] [--rounds R]" >&2; exit 2 ;;
  esac
done
if [ "$TREE" = 1 ]; then
  [ "$POINTS_SET" = 1 ] || POINTS=10
  [ "$ROUNDS_SET" = 1 ] || ROUNDS=0
fi

ROOT=$(cd "$(dirname "$0")/.." && pwd)
FW=${BUILD_DIR:-$ROOT/build}/ferrowarden
[ -x "$FW" ] || { echo "build first: make" >&2; exit 1; }
WORK=$(mktemp -d /tmp/fwresume.XXXXXX)
# A copy of the program of its own, so that a build during the run changes nothing.
cp "$FW" "$WORK/ferrowarden"
FW=$WORK/ferrowarden
SERVER=""
cleanup() {
  [ -z "$SERVER" ] || kill "$SERVER" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$WORK/cfg
export XDG_DATA_HOME=$WORK/data # where a sender remembers a cut copy
export FERROWARDEN_DISCOVERY_PORT=$((20000 + $$ % 10000))
mkdir -p "$WORK/cfg" "$WORK/in" "$WORK/out"
SIZE=$((SIZE_MIB * 1048576))
[ "$TREE" = 1 ] || head -c "$SIZE" /dev/urandom > "$WORK/out/big.bin"
HOST=(--host "127.0.0.1:$FERROWARDEN_DISCOVERY_PORT")

start_server() {
  "$FW" serve "$WORK/in" --label bench > "$WORK/serve.out" 2>&1 &
  SERVER=$!
  until grep -q "Server started succesfully!" "$WORK/serve.out" 2>/dev/null; do
    kill -0 "$SERVER" 2>/dev/null || { echo "the server did not start:" >&2; cat "$WORK/serve.out" >&2; exit 1; }
    sleep 0.05
  done
}
stop_server() {
  kill "$SERVER" 2>/dev/null || true
  wait "$SERVER" 2>/dev/null || true
  SERVER=""
}
partial_size() {
  local part
  part=$(ls "$WORK"/in/.ferrowarden-partial/*.part 2>/dev/null | head -1)
  [ -n "$part" ] && stat -c %s "$part" || echo 0
}

# Bytes of "12.3 MiB" as the sender's summary prints them; 0 for nothing.
summary_bytes() {
  echo "$1" | awk '{ m = $2 == "GiB" ? 1073741824 : $2 == "MiB" ? 1048576 : $2 == "KiB" ? 1024 : 1; printf "%d", $1 * m }'
}
# What went over the network, from a sender's output; the tree's size when the summary does
# not say (nothing was kept, so all of it went).
wire_bytes() {
  local said
  said=$(tr '\r' '\n' < "$1" | sed -n 's/.*, \([0-9.]* [KMG]*i*B\) sent over the network.*/\1/p' | tail -1)
  if [ -n "$said" ]; then summary_bytes "$said"; else echo "$TREE_SIZE"; fi
}
# What the server holds of the tree: the files stored and the partial files.
held_bytes() {
  local whole=0 parts=0
  [ -d "$WORK/in/tree" ] && whole=$(du -sb --apparent-size "$WORK/in/tree" | cut -f1)
  parts=$(find "$WORK/in/.ferrowarden-partial" -name '*.part' -printf '%s\n' 2>/dev/null | awk '{s += $1} END {print s + 0}')
  echo $((whole + parts))
}

if [ "$TREE" = 1 ]; then
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for d in $(seq -w 0 9); do
    mkdir -p "$WORK/out/tree/d$d"
    for f in $(seq -w 0 99); do
      # 8 large and 992 small: 1,000 files
      if [ "$f" = 99 ] && [ "$d" -ge 1 ] && [ "$d" -le 8 ]; then
        head -c $((20 * 1048576)) /dev/urandom > "$WORK/out/tree/d$d/large.bin"
      else
        head -c $((1024 + RANDOM * 2)) /dev/urandom > "$WORK/out/tree/d$d/f$f.bin"
      fi
    done
  done
  TREE_SIZE=$(find "$WORK/out/tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  echo "tree: $(find "$WORK/out/tree" -type f | wc -l) files, $TREE_SIZE bytes; ${POINTS} points per kill"
  printf '%-7s %6s %12s %12s %12s %12s %s\n' killed "x %" "left" "sent after" "bound" "margin" "diff -r"
  failures=0 skipped=0
  for KILL in sender server; do
    for point in $(seq 1 "$POINTS"); do
      rm -rf "$WORK/in" && mkdir -p "$WORK/in"
      start_server
      target=$(( TREE_SIZE * (5 + RANDOM % 91) / 100 ))
      retry=0
      [ "$KILL" = server ] && retry=60
      "$FW" send "${HOST[@]}" --retry "$retry" "$WORK/out/tree" > "$WORK/send1.out" 2>&1 &
      sender=$!
      while [ "$(held_bytes)" -lt "$target" ] && kill -0 "$sender" 2>/dev/null; do sleep 0.01; done
      if ! kill -0 "$sender" 2>/dev/null; then
        # The copy ended before the point was reached (the check above is slower than a copy's
        # last few percent): no cut to measure.
        wait "$sender" 2>/dev/null || true
        printf '%-7s %6s %s\n' "$KILL" "-" "the copy ended before the cut; point skipped"
        skipped=$((skipped + 1))
        stop_server
        continue
      fi
      if [ "$KILL" = server ]; then
        kill -KILL "$SERVER"; wait "$SERVER" 2>/dev/null || true; SERVER=""
        had=$(held_bytes)
        start_server
        wait "$sender" 2>/dev/null || true
        sent=$(( $(wire_bytes "$WORK/send1.out") - had ))
      else
        kill -KILL "$sender"; wait "$sender" 2>/dev/null || true
        sleep 0.3 # the server hears that the client left and flushes what it holds
        had=$(held_bytes)
        "$FW" send "${HOST[@]}" --retry 0 "$WORK/out/tree" > "$WORK/send2.out" 2>&1 || true
        sent=$(wire_bytes "$WORK/send2.out")
      fi
      left=$(( TREE_SIZE - had ))
      if [ "$left" -le 0 ]; then
        # Everything had arrived: the sender was killed after its copy ran through, so the next
        # send is a copy of its own, not one that goes on.
        printf '%-7s %6s %s\n' "$KILL" "100" "the copy was complete before the cut; point skipped"
        skipped=$((skipped + 1))
        stop_server
        continue
      fi
      bound=$(( left + 8388608 ))
      exact=yes
      diff -r -q "$WORK/out/tree" "$WORK/in/tree" > /dev/null 2>&1 || { exact=NO; failures=$((failures + 1)); }
      printf '%-7s %6s %12d %12d %12d %12d %s\n' "$KILL" "$(echo "scale=1; 100 * $had / $TREE_SIZE" | bc)" \
        "$left" "$sent" "$bound" $((bound - sent)) "$exact"
      stop_server
    done
  done
  echo "trees not equal after the resumed copy: $failures; points skipped (the copy ended first): $skipped"
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cuts: ${SIZE_MIB} MiB, ${POINTS} points, ${KILL} killed"
printf '%8s %14s %14s %14s %s\n' "x %" "sent after" "bound" "margin" "byte-exact"
worst=0 failures=0
for point in $(seq 1 "$POINTS"); do
  rm -rf "$WORK/in" && mkdir -p "$WORK/in"
  start_server
  target=$(( SIZE * (5 + RANDOM % 91) / 100 ))
  "$FW" send "${HOST[@]}" --retry 0 "$WORK/out/big.bin" > "$WORK/send1.out" 2>&1 &
  sender=$!
  while [ "$(partial_size)" -lt "$target" ] && kill -0 "$sender" 2>/dev/null; do sleep 0.002; done
  if [ "$KILL" = server ]; then
    kill -KILL "$SERVER"; wait "$SERVER" 2>/dev/null || true; SERVER=""
    wait "$sender" 2>/dev/null || true
    had=$(partial_size)
    start_server
  else
    kill -KILL "$sender"; wait "$sender" 2>/dev/null || true
    sleep 0.3 # the server hears that the client left and flushes what it holds
    had=$(partial_size)
  fi
  "$FW" send "${HOST[@]}" --retry 0 "$WORK/out/big.bin" > "$WORK/send2.out" 2>&1 || true
  kept=$(tr '\r' '\n' < "$WORK/send2.out" | sed -n 's/^Resuming "big.bin": \([0-9,]*\) bytes already there$/\1/p' | tr -d ,)
  sent=$(( SIZE - ${kept:-0} ))
  bound=$(( SIZE - had + 8388608 ))
  exact=yes
  cmp -s "$WORK/out/big.bin" "$WORK/in/big.bin" || { exact=NO; failures=$((failures + 1)); }
  [ "$sent" -le "$bound" ] || failures=$((failures + 1))
  note=""
  [ "$had" -gt 0 ] || note="  (nothing was kept: $(tr '\r' '\n' < "$WORK/send1.out" | tail -1))"
  printf '%8s %14d %14d %14d %s%s\n' "$(echo "scale=1; 100 * $had / $SIZE" | bc)" "$sent" "$bound" $((bound - sent)) "$exact" "$note"
  stop_server
done
echo "cuts out of bounds or not byte-exact: $failures"

echo "cost of resume on an uncut copy: ${ROUNDS} rounds (seconds, and CPU seconds of each side)"
[ "$ROUNDS" -gt 0 ] || { echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"; exit 0; }
command -v /usr/bin/time >/dev/null || { echo "GNU time is needed: apt-get install time" >&2; exit 1; }
declare -A wall client server
ratios=() cpuRatios=()
for round in $(seq 1 "$ROUNDS"); do
  for version in 1 2; do
    rm -rf "$WORK/in" && mkdir -p "$WORK/in"
    sync
    FERROWARDEN_EXTENSION=$version /usr/bin/time -f "%U %S" -o "$WORK/server.cpu" \
      "$FW" serve "$WORK/in" --label bench --once > "$WORK/serve.out" 2>&1 &
    SERVER=$!
    until grep -q "Server started succesfully!" "$WORK/serve.out" 2>/dev/null; do sleep 0.05; done
    begin=$(date +%s.%N)
    FERROWARDEN_EXTENSION=$version /usr/bin/time -f "%U %S" -o "$WORK/client.cpu" \
      "$FW" send "${HOST[@]}" "$WORK/out/big.bin" > /dev/null 2>&1
    wait "$SERVER" || true
    SERVER=""
    wall[$version,$round]=$(echo "$(date +%s.%N) - $begin" | bc)
    client[$version,$round]=$(awk '{print $1 + $2}' "$WORK/client.cpu")
    server[$version,$round]=$(awk '{print $1 + $2}' "$WORK/server.cpu")
  done
  ratios+=("$(echo "scale=4; ${wall[2,$round]} / ${wall[1,$round]}" | bc)")
  cpuRatios+=("$(echo "scale=4; (${client[2,$round]} + ${server[2,$round]}) / (${client[1,$round]} + ${server[1,$round]})" | bc)")
done
stats() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {printf "median %.3f (min %.3f, max %.3f)", a[int((NR+1)/2)], a[1], a[NR]}'; }
for version in 1 2; do
  w=() c=() s=()
  for round in $(seq 1 "$ROUNDS"); do
    w+=("${wall[$version,$round]}"); c+=("${client[$version,$round]}"); s+=("${server[$version,$round]}")
  done
  echo "version $version: seconds $(stats "${w[@]}"); client CPU $(stats "${c[@]}"); server CPU $(stats "${s[@]}")"
done
echo "version 2 / version 1, seconds: $(stats "${ratios[@]}")"
echo "version 2 / version 1, CPU of both sides: $(stats "${cpuRatios[@]}")"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
