#!/bin/bash
# The sender's peak memory and CPU against the number of files it sends: copies of tiny files
# (COUNT files of 1 byte, in 1,000 folders, one folder given) from `send` into a local
# `serve --once`, for each build given, taking turns. The sender walks its tree twice and
# holds only the folders it is in, so its peak should stay about flat as COUNT grows.
#
#   bench/sender-memory.sh [--runs N] [--counts "100000 1000000"] BIN [BIN...]
#
# Prints one line per copy: build, files, sender peak MiB, sender CPU s, server peak MiB,
# server CPU s, seconds.
set -euo pipefail

RUNS=1 COUNTS="100000 1000000"
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --counts) COUNTS=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--runs N] [--counts \"N...\"] BIN [BIN...]" >&2; exit 2; }

WORK=$(mktemp -d /tmp/fwbench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME="$WORK/cfg"
mkdir -p "$WORK/cfg"
TIMEFMT="%M %U %S"
usage_of() { awk 'END {if (NF >= 3) printf "%.1f %.2f", $1/1024, $2+$3; else print "0 0"}' "$1"; }
now() { date +%s.%N; }

for count in $COUNTS; do
  per=$((count / 1000))
  echo "Preparing $count files of 1 byte in 1,000 folders ..." >&2
  rm -rf "$WORK/src"
  for d in $(seq -w 0 999); do
    mkdir -p "$WORK/src/tiny/d$d"
    head -c "$per" /dev/urandom | (cd "$WORK/src/tiny/d$d" && split -b 1 -a 4 -d - f)
  done
  for run in $(seq "$RUNS"); do
    for bin in "$@"; do
      # The last copy's files are moved aside, not deleted, until the end (see copy-bench.sh:
      # inodes deleted just before make the next copy's new files slow).
      [ -d "$WORK/dst" ] && mv "$WORK/dst" "$(mktemp -d "$WORK/old.XXXXXX")/"
      mkdir -p "$WORK/dst"
      label="mem$RANDOM"
      (cd "$WORK" && /usr/bin/time -f "$TIMEFMT" -o "$WORK/srv.time" "$bin" serve "$WORK/dst" --label "$label" --once >/dev/null) &
      srv=$!
      for _ in $(seq 100); do
        "$bin" list --host 127.0.0.1 2>/dev/null | grep -q "^$label" && break
        sleep 0.1
      done
      start=$(now)
      (cd "$WORK" && /usr/bin/time -f "$TIMEFMT" -o "$WORK/cli.time" "$bin" send --host 127.0.0.1 --session "$label" \
        --no-encrypt "$WORK/src/tiny" >/dev/null)
      wait "$srv"
      end=$(now)
      [ "$(find "$WORK/dst/tiny" -type f | wc -l)" = "$count" ] || { echo "$bin: files missing!" >&2; exit 1; }
      printf '%s %d %s %s %.1f\n' "$bin" "$count" "$(usage_of "$WORK/cli.time")" "$(usage_of "$WORK/srv.time")" \
        "$(echo "$end - $start" | bc -l)"
    done
  done
done
