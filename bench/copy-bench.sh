#!/usr/bin/env bash
# Copy throughput on loopback, all in one run so the figures compare:
#   raw TCP pipe (1 MiB writes: the physical limit), the rsync daemon, and ferrowarden
#   serve/send plain and encrypted; each copies one big file and then many small files.
# Prints the median of several runs: MB/s, files/s, peak memory of each side, and ratios.
#
# usage: bench/copy-bench.sh [--runs N] [--size-mib M] [--files K] [--file-kib S]
set -euo pipefail

RUNS=3 SIZE_MIB=1024 FILES=10000 FILE_KIB=10
TOOLS=${TOOLS:-raw rsync fw fw-enc} # a subset for quick looks; the table needs rsync
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --size-mib) SIZE_MIB=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --file-kib) FILE_KIB=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--size-mib M] [--files K] [--file-kib S]" >&2; exit 2 ;;
  esac
done

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
FW=$BUILD/ferrowarden
RAW=$BUILD/bench/rawpipe
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
need=""
for tool in rsync:rsync /usr/bin/time:time bc:bc; do
  command -v "${tool%%:*}" >/dev/null || need="$need ${tool##*:}"
done
if [ -n "$need" ]; then
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $need
fi
[ -x "$FW" ] && [ -x "$RAW" ] || { echo "build first: make" >&2; exit 1; }

WORK=$(mktemp -d /tmp/fwbench.XXXXXX)
RSYNC_PID=""
# The daemon runs under GNU time (for its peak memory); stop the daemon, not time.
stop_rsyncd() {
  [ -n "$RSYNC_PID" ] || return 0
  pkill -P "$RSYNC_PID" 2>/dev/null || true
  wait "$RSYNC_PID" 2>/dev/null || true
  RSYNC_PID=""
}
cleanup() {
  stop_rsyncd
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/src/small" "$WORK/dst" "$WORK/cfg"
echo "Preparing ${SIZE_MIB} MiB file and ${FILES} files of ${FILE_KIB} KiB in $WORK ..." >&2
head -c "${SIZE_MIB}M" /dev/urandom > "$WORK/src/big.bin"
head -c "$((FILES * FILE_KIB))K" /dev/urandom | (cd "$WORK/src/small" && split -b "${FILE_KIB}K" -a 6 -d - f)
BIG_BYTES=$(stat -c %s "$WORK/src/big.bin")
SMALL_BYTES=$((FILES * FILE_KIB * 1024))

PORT_BASE=$((20000 + RANDOM % 20000))
export XDG_CONFIG_HOME="$WORK/cfg"
export FERROWARDEN_DISCOVERY_PORT=$((PORT_BASE + 7))

now() { date +%s.%N; }
# peak RSS in MiB from a GNU time output file
mem() { awk '{printf "%.0f", $1/1024}' "$1" 2>/dev/null || echo "?"; }

RSYNC_PORT=$((PORT_BASE + 3))
cat > "$WORK/rsyncd.conf" <<CONF
use chroot = false
uid = $(id -u)
gid = $(id -g)
[dst]
  path = $WORK/dst
  read only = false
CONF
/usr/bin/time -f %M -o "$WORK/rsyncd.mem" rsync --daemon --no-detach --config="$WORK/rsyncd.conf" \
  --port="$RSYNC_PORT" --address=127.0.0.1 2>/dev/null &
RSYNC_PID=$!
sleep 0.5

# run_case TOOL WHAT: one timed copy; prints "seconds client_mib server_mib"
run_case() {
  local tool=$1 what=$2 start end
  rm -rf "$WORK/dst"/* 2>/dev/null || true
  # Each run starts with the previous run's data on disk, so that no tool pays for the
  # write-back of another's.
  sync
  local -a files
  if [ "$what" = big ]; then files=("$WORK/src/big.bin"); else files=("$WORK/src/small"/*); fi
  case "$tool" in
    raw)
      [ "$what" = big ] || { echo "- - -"; return; }
      local port=$((PORT_BASE + 11))
      /usr/bin/time -f %M -o "$WORK/srv.mem" "$RAW" recv "$port" "$WORK/dst/big.bin" &
      local srv=$!
      start=$(now)
      /usr/bin/time -f %M -o "$WORK/cli.mem" "$RAW" send "$port" "$WORK/src/big.bin"
      wait "$srv"; end=$(now) ;;
    rsync)
      start=$(now)
      if [ "$what" = big ]; then
        /usr/bin/time -f %M -o "$WORK/cli.mem" rsync -a "$WORK/src/big.bin" "rsync://127.0.0.1:$RSYNC_PORT/dst/"
      else
        /usr/bin/time -f %M -o "$WORK/cli.mem" rsync -a "$WORK/src/small/" "rsync://127.0.0.1:$RSYNC_PORT/dst/"
      fi
      end=$(now); echo 0 > "$WORK/srv.mem" ;;
    fw|fw-enc)
      local label="bench$RANDOM" enc=--no-encrypt
      [ "$tool" = fw-enc ] && enc=--encrypt
      (cd "$WORK" && /usr/bin/time -f %M -o "$WORK/srv.mem" "$FW" serve "$WORK/dst" --label "$label" --once >/dev/null) &
      local srv=$!
      for _ in $(seq 100); do
        "$FW" list --host 127.0.0.1 2>/dev/null | grep -q "^$label" && break
        sleep 0.1
      done
      start=$(now)
      (cd "$WORK" && /usr/bin/time -f %M -o "$WORK/cli.mem" "$FW" send --host 127.0.0.1 --session "$label" $enc "${files[@]}" >/dev/null)
      wait "$srv"; end=$(now) ;;
  esac
  if [ "$what" = big ]; then
    cmp -s "$WORK/src/big.bin" "$WORK/dst/big.bin" || { echo "$tool: copy differs!" >&2; exit 1; }
  else
    [ "$(ls "$WORK/dst" | wc -l)" = "$FILES" ] || { echo "$tool: files missing!" >&2; exit 1; }
  fi
  echo "$(echo "$end - $start" | bc -l) $(mem "$WORK/cli.mem") $(mem "$WORK/srv.mem")"
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

# Rounds take the tools in turn, so that a slow spell of this shared machine falls on all
# of them alike; each tool's figure is the median of its runs.
declare -A SECS CMEM SMEM
for what in big small; do
  for tool in $TOOLS; do
    : > "$WORK/times.$tool"; CMEM[$tool/$what]=0; SMEM[$tool/$what]=0
  done
  for run in $(seq "$RUNS"); do
    for tool in $TOOLS; do
      [ "$tool/$what" = raw/small ] && continue
      read -r secs c s < <(run_case "$tool" "$what")
      echo "$tool $what run $run: ${secs}s" >&2
      echo "$secs" >> "$WORK/times.$tool"
      [ "$c" -gt "${CMEM[$tool/$what]}" ] 2>/dev/null && CMEM[$tool/$what]=$c
      [ "$s" -gt "${SMEM[$tool/$what]}" ] 2>/dev/null && SMEM[$tool/$what]=$s
    done
  done
  for tool in $TOOLS; do
    [ "$tool/$what" = raw/small ] && continue
    SECS[$tool/$what]=$(median < "$WORK/times.$tool")
  done
done
stop_rsyncd
RSYNCD_MEM=$(mem "$WORK/rsyncd.mem")

printf '\n%s MiB file, %s files of %s KiB, median of %s runs, loopback\n\n' "$SIZE_MIB" "$FILES" "$FILE_KIB" "$RUNS"
printf '| %-22s | %10s | %12s | %9s | %14s | %14s |\n' tool "big MB/s" "x rsync" "files/s" "client MiB" "server MiB"
printf '|%s|\n' "------------------------|------------|--------------|-----------|----------------|---------------"
for tool in $TOOLS; do
  big=$(echo "$BIG_BYTES / ${SECS[$tool/big]} / 1000000" | bc -l)
  ratio=$(echo "${SECS[rsync/big]} / ${SECS[$tool/big]}" | bc -l)
  if [ -n "${SECS[$tool/small]:-}" ]; then fps=$(printf '%.0f' "$(echo "$FILES / ${SECS[$tool/small]}" | bc -l)"); else fps=-; fi
  smem=${SMEM[$tool/big]}; [ "$tool" = rsync ] && smem=$RSYNCD_MEM
  name=$tool; [ "$tool" = fw ] && name="ferrowarden"; [ "$tool" = fw-enc ] && name="ferrowarden encrypted"
  printf '| %-22s | %10.0f | %12.2f | %9s | %14s | %14s |\n' "$name" "$big" "$ratio" "$fps" \
    "$(( ${CMEM[$tool/big]} > ${CMEM[$tool/small]:-0} ? ${CMEM[$tool/big]} : ${CMEM[$tool/small]:-0} ))" "$smem"
done
