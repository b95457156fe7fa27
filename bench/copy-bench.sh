#!/usr/bin/env bash
# Copy throughput, all in one run so the figures compare: a raw TCP pipe (1 MiB writes: the
# physical limit), the rsync daemon, and ferrowarden serve/send plain and encrypted; each copies
# one big file and then many small files.
#
# Rounds take the tools in turn and every run starts after a `sync`. Each tool's speed is the
# median of its runs; its ratio to rsync is the median of the per-round ratios (rsync's time
# over the tool's time in the same round), with their spread, so a slow spell of this shared
# machine falls on both sides of a ratio alike. CPU seconds (user + system) of each side come
# from GNU time, per GiB for the big file and per 1,000 files for the small ones; "CPU-bound"
# is the rate the slower side's CPU would allow if each side had its own cores, as on a LAN.
#
# usage: bench/copy-bench.sh [--runs N] [--size-mib M] [--files K] [--file-kib S] [--netns]
#                            [--tree] [--many] [--huge-gib G]
#   --netns  client and server in two network namespaces joined by a veth pair (needs root)
#   --tree   also a folder tree: 1,000 files of 1 to 64 KiB in 50 nested folders (10 chains of
#            5), plus an empty folder
#   --many   also 100,000 files of 1 KiB in 1,000 folders (one folder given), with the peak
#            memory (GNU time's max RSS) of each side in that case
#   --huge-gib G  also a sparse file of G GiB (rsync with --sparse)
#   TOOLS="rsync fw"  a subset of raw rsync fw fw-enc fw-design for quick looks; the ratios need
#                    rsync. "fw" is a secure copy (every extended copy is one); "fw-design"
#                    runs both ends with FERROWARDEN_EXTENSION=off, the design's protocol
#   FW_BASE=path/to/ferrowarden  adds "base" and "base-enc" to TOOLS: an earlier build of the
#                    program taking its turn in the same rounds, for before-and-after figures
set -euo pipefail

RUNS=5 SIZE_MIB=1024 FILES=10000 FILE_KIB=10 NETNS=0 TREE=0 MANY=0 HUGE_GIB=0
TOOLS=${TOOLS:-raw rsync fw fw-enc}
FW_BASE=${FW_BASE:-}
# An earlier build joins the rounds, unless TOOLS already names which of its two runs to take.
[ -z "$FW_BASE" ] || [[ " $TOOLS " == *" base"* ]] || TOOLS="$TOOLS base base-enc"
usage() { echo "usage: $0 [--runs N] [--size-mib M] [--files K] [--file-kib S] [--netns] [--tree] [--many] [--huge-gib G]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --size-mib) SIZE_MIB=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --file-kib) FILE_KIB=$2; shift 2 ;;
    --netns) NETNS=1; shift ;;
    --tree) TREE=1; shift ;;
    --many) MANY=1; shift ;;
    --huge-gib) HUGE_GIB=$2; shift 2 ;;
    *) usage ;;
  esac
done

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
FW=$BUILD/ferrowarden
RAW=$BUILD/bench/rawpipe
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
need=""
for tool in rsync:rsync /usr/bin/time:time bc:bc ip:iproute2; do
  command -v "${tool%%:*}" >/dev/null || need="$need ${tool##*:}"
done
if [ -n "$need" ]; then
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $need
fi
[ -x "$FW" ] && [ -x "$RAW" ] || { echo "build first: make" >&2; exit 1; }

WORK=$(mktemp -d /tmp/fwbench.XXXXXX)
NS_CLI="" NS_SRV="" SRV_ADDR=127.0.0.1
CLI=() SRV=() # command prefixes that put a process on the client's or the server's side
RSYNC_PID=""
cleanup() {
  [ -z "$RSYNC_PID" ] || pkill -P "$RSYNC_PID" 2>/dev/null || true
  if [ -n "$NS_CLI" ]; then
    $SUDO ip netns del "$NS_CLI" 2>/dev/null || true
    $SUDO ip netns del "$NS_SRV" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

if [ "$NETNS" = 1 ]; then
  NS_CLI=fwbench-cli-$$ NS_SRV=fwbench-srv-$$ SRV_ADDR=10.231.$(( $$ % 200 )).1
  CLI_ADDR=${SRV_ADDR%.1}.2
  $SUDO ip netns add "$NS_CLI"
  $SUDO ip netns add "$NS_SRV"
  $SUDO ip link add "fwb$$c" netns "$NS_CLI" type veth peer name "fwb$$s" netns "$NS_SRV"
  $SUDO ip -n "$NS_CLI" addr add "$CLI_ADDR/24" dev "fwb$$c"
  $SUDO ip -n "$NS_SRV" addr add "$SRV_ADDR/24" dev "fwb$$s"
  for ns in "$NS_CLI" "$NS_SRV"; do
    $SUDO ip -n "$ns" link set lo up
  done
  $SUDO ip -n "$NS_CLI" link set "fwb$$c" up
  $SUDO ip -n "$NS_SRV" link set "fwb$$s" up
  CLI=($SUDO ip netns exec "$NS_CLI")
  SRV=($SUDO ip netns exec "$NS_SRV")
fi

mkdir -p "$WORK/src/small" "$WORK/dst" "$WORK/cfg"
echo "Preparing ${SIZE_MIB} MiB file and ${FILES} files of ${FILE_KIB} KiB in $WORK ..." >&2
head -c "${SIZE_MIB}M" /dev/urandom > "$WORK/src/big.bin"
head -c "$((FILES * FILE_KIB))K" /dev/urandom | (cd "$WORK/src/small" && split -b "${FILE_KIB}K" -a 6 -d - f)
BIG_BYTES=$(stat -c %s "$WORK/src/big.bin")
WHATS="big small"
if [ "$TREE" = 1 ]; then
  WHATS="$WHATS tree"
  for chain in $(seq 0 9); do
    dir="$WORK/src/tree/chain $chain"
    for level in $(seq 1 5); do
      dir="$dir/level $level"
      mkdir -p "$dir"
      for f in $(seq 1 20); do
        head -c "$(( (RANDOM % 64 + 1) * 1024 ))" /dev/urandom > "$dir/file $f.bin"
      done
    done
  done
  mkdir -p "$WORK/src/tree/empty folder"
  TREE_FILES=$(find "$WORK/src/tree" -type f | wc -l)
fi
if [ "$MANY" = 1 ]; then
  WHATS="$WHATS many"
  echo "Preparing 100,000 files of 1 KiB in 1,000 folders ..." >&2
  for d in $(seq -w 0 999); do
    mkdir -p "$WORK/src/many/d$d"
    head -c 100K /dev/urandom | (cd "$WORK/src/many/d$d" && split -b 1K -a 3 -d - f)
  done
  MANY_FILES=100000
fi
if [ "$HUGE_GIB" != 0 ]; then
  WHATS="$WHATS huge"
  truncate -s "${HUGE_GIB}G" "$WORK/src/huge.bin"
  # a few real bytes at both ends and in the middle, so that a copy that loses its place shows
  head -c 4096 /dev/urandom | dd of="$WORK/src/huge.bin" conv=notrunc status=none
  head -c 4096 /dev/urandom | dd of="$WORK/src/huge.bin" bs=1M seek=$((HUGE_GIB * 512)) conv=notrunc status=none
  head -c 4096 /dev/urandom | dd of="$WORK/src/huge.bin" bs=4096 seek=$((HUGE_GIB * 262144 - 1)) conv=notrunc status=none
  HUGE_BYTES=$(stat -c %s "$WORK/src/huge.bin")
fi

PORT_BASE=$((20000 + RANDOM % 20000))
PORT_NEXT=$PORT_BASE
export XDG_CONFIG_HOME="$WORK/cfg"
export FERROWARDEN_DISCOVERY_PORT=$((PORT_BASE + 7))
export RAWPIPE_ADDRESS=$SRV_ADDR

now() { date +%s.%N; }
TIMEFMT="%M %U %S" # peak KiB, user s, system s
# "peak_MiB cpu_seconds" from a GNU time output file ("0 0" when there is none)
usage_of() { awk 'END {if (NF >= 3) printf "%.0f %.3f", $1/1024, $2+$3; else print "0 0"}' "$1" 2>/dev/null || echo "0 0"; }

# The rsync daemon runs once per run under GNU time, so that its CPU (its children included)
# belongs to that run; stop the daemon, not time.
start_rsyncd() {
  PORT_NEXT=$((PORT_NEXT + 1)); RSYNC_PORT=$PORT_NEXT
  cat > "$WORK/rsyncd.conf" <<CONF
use chroot = false
uid = $(id -u)
gid = $(id -g)
[dst]
  path = $WORK/dst
  read only = false
CONF
  "${SRV[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/srv.time" rsync --daemon --no-detach \
    --config="$WORK/rsyncd.conf" --port="$RSYNC_PORT" --address="$SRV_ADDR" 2>/dev/null &
  RSYNC_PID=$!
  for _ in $(seq 100); do
    "${CLI[@]}" rsync --contimeout=1 "rsync://$SRV_ADDR:$RSYNC_PORT/" >/dev/null 2>&1 && return
    sleep 0.05
  done
  echo "rsync daemon did not start" >&2; exit 1
}
stop_rsyncd() {
  pkill -P "$RSYNC_PID" 2>/dev/null || true
  wait "$RSYNC_PID" 2>/dev/null || true
}

# run_case TOOL WHAT: one timed copy; prints "seconds client_mib client_cpu server_mib server_cpu"
run_case() {
  local tool=$1 what=$2 start end
  rm -f "$WORK/cli.time" "$WORK/srv.time"
  # The last run's files are moved aside, not deleted, until the end: ext4 without a journal
  # (as here) steps over every inode deleted in the last half minute each time it makes a
  # file, so 10,000 files deleted just before would make the next run's 10,000 files slow for
  # whichever tool comes next. Big files go at once; they are few inodes.
  local old
  mkdir -p "$WORK/old"
  old=$(mktemp -d "$WORK/old/run.XXXXXX")
  mv "$WORK/dst" "$old/"
  find "$old" -type f -size +64M -delete
  mkdir -p "$WORK/dst"
  # Each run starts with the previous run's data on disk, so that no tool pays for the
  # write-back of another's.
  sync
  local -a files
  case "$what" in
    big) files=("$WORK/src/big.bin") ;;
    small) files=("$WORK/src/small"/*) ;;
    tree) files=("$WORK/src/tree") ;;
    many) files=("$WORK/src/many") ;;
    huge) files=("$WORK/src/huge.bin") ;;
  esac
  case "$tool" in
    raw)
      PORT_NEXT=$((PORT_NEXT + 1))
      "${SRV[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/srv.time" "$RAW" recv "$PORT_NEXT" "$WORK/dst/big.bin" &
      local srv=$!
      start=$(now)
      "${CLI[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/cli.time" "$RAW" send "$PORT_NEXT" "$WORK/src/big.bin"
      wait "$srv"; end=$(now)
      unset FERROWARDEN_EXTENSION ;;
    rsync)
      start_rsyncd
      local from=${files[0]} sparse=""
      [ "$what" = small ] && from="$WORK/src/small/"
      [ "$what" = huge ] && sparse=--sparse
      start=$(now)
      "${CLI[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/cli.time" rsync -a $sparse "$from" "rsync://$SRV_ADDR:$RSYNC_PORT/dst/"
      end=$(now)
      stop_rsyncd ;;
    fw|fw-enc|fw-design|base|base-enc)
      local label="bench$RANDOM" enc=--no-encrypt FW=$FW
      case "$tool" in *-enc) enc=--encrypt ;; esac
      if [ "$tool" = fw-design ]; then export FERROWARDEN_EXTENSION=off; else unset FERROWARDEN_EXTENSION; fi
      case "$tool" in base*) FW=$FW_BASE ;; esac
      (cd "$WORK" && "${SRV[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/srv.time" "$FW" serve "$WORK/dst" --label "$label" --once >/dev/null) &
      local srv=$!
      for _ in $(seq 100); do
        "${CLI[@]}" "$FW" list --host "$SRV_ADDR" 2>/dev/null | grep -q "^$label" && break
        sleep 0.1
      done
      start=$(now)
      (cd "$WORK" && "${CLI[@]}" /usr/bin/time -f "$TIMEFMT" -o "$WORK/cli.time" "$FW" send --host "$SRV_ADDR" --session "$label" $enc "${files[@]}" >/dev/null)
      wait "$srv"; end=$(now)
      unset FERROWARDEN_EXTENSION ;;
  esac
  case "$what" in
    big|huge) cmp -s "$WORK/src/$what.bin" "$WORK/dst/$what.bin" || { echo "$tool: $what copy differs!" >&2; exit 1; } ;;
    small) [ "$(ls "$WORK/dst" | wc -l)" = "$FILES" ] || { echo "$tool: files missing!" >&2; exit 1; } ;;
    tree) diff -r "$WORK/src/tree" "$WORK/dst/tree" >/dev/null || { echo "$tool: tree differs!" >&2; exit 1; } ;;
    many) [ "$(find "$WORK/dst/many" -type f | wc -l)" = "$MANY_FILES" ] || { echo "$tool: files missing!" >&2; exit 1; } ;;
  esac
  echo "$(echo "$end - $start" | bc -l) $(usage_of "$WORK/cli.time") $(usage_of "$WORK/srv.time")"
}

median() { sort -g | awk '{a[NR]=$1} END {if (NR == 0) print "nan"; else print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
spread() { sort -g | awk 'NR == 1 {lo=$1} {hi=$1} END {printf "%.2f-%.2f", lo, hi}'; }
maxof() { sort -g | tail -1; }

for what in $WHATS; do
  for run in $(seq "$RUNS"); do
    rsync_secs=""
    for tool in $TOOLS; do
      [ "$tool" = raw ] && [ "$what" != big ] && continue
      read -r secs cmem ccpu smem scpu < <(run_case "$tool" "$what")
      echo "$tool $what run $run: ${secs}s, CPU client ${ccpu}s server ${scpu}s" >&2
      echo "$secs" >> "$WORK/secs.$tool.$what"
      echo "$ccpu" >> "$WORK/ccpu.$tool.$what"
      echo "$scpu" >> "$WORK/scpu.$tool.$what"
      echo "$cmem" >> "$WORK/cmem.$tool"
      echo "$smem" >> "$WORK/smem.$tool"
      echo "$cmem" >> "$WORK/cmem.$tool.$what"
      echo "$smem" >> "$WORK/smem.$tool.$what"
      [ "$tool" = rsync ] && rsync_secs=$secs
      echo "$secs" > "$WORK/round.$tool"
    done
    # per-round ratios: rsync's time over each tool's time in this round
    if [ -n "$rsync_secs" ]; then
      for tool in $TOOLS; do
        [ -f "$WORK/round.$tool" ] || continue
        echo "$rsync_secs / $(cat "$WORK/round.$tool")" | bc -l >> "$WORK/ratio.$tool.$what"
      done
    fi
    rm -f "$WORK"/round.*
  done
done

mode="loopback"; [ "$NETNS" = 1 ] && mode="two network namespaces over veth"
printf '\n%s MiB file, %s files of %s KiB, %s rounds, %s\n\n' "$SIZE_MIB" "$FILES" "$FILE_KIB" "$RUNS" "$mode"
printf '| %-24s | %8s | %-17s | %8s | %-17s | %10s | %10s |\n' tool "big MB/s" "x rsync (spread)" "files/s" "x rsync (spread)" "client MiB" "server MiB"
printf '|%s|\n' "--------------------------|----------|-------------------|----------|-------------------|------------|-----------"
name_of() {
  case "$1" in
    fw) echo "ferrowarden secure" ;; fw-enc) echo "ferrowarden encrypted" ;; raw) echo "raw TCP pipe" ;;
    fw-design) echo "ferrowarden design proto" ;;
    base) echo "earlier build" ;; base-enc) echo "earlier build encrypted" ;; *) echo "$1" ;;
  esac
}
ratio_of() {
  [ -s "$WORK/ratio.$1.$2" ] || { echo "-"; return; }
  printf '%.2f (%s)' "$(median < "$WORK/ratio.$1.$2")" "$(spread < "$WORK/ratio.$1.$2")"
}
for tool in $TOOLS; do
  big=$(echo "$BIG_BYTES / $(median < "$WORK/secs.$tool.big") / 1000000" | bc -l)
  fps=- fratio=-
  if [ -s "$WORK/secs.$tool.small" ]; then
    fps=$(printf '%.0f' "$(echo "$FILES / $(median < "$WORK/secs.$tool.small")" | bc -l)")
    fratio=$(ratio_of "$tool" small)
  fi
  smem=$(maxof < "$WORK/smem.$tool")
  printf '| %-24s | %8.0f | %-17s | %8s | %-17s | %10s | %10s |\n' "$(name_of "$tool")" "$big" \
    "$(ratio_of "$tool" big)" "$fps" "$fratio" "$(maxof < "$WORK/cmem.$tool")" "$smem"
done

printf '\nCPU seconds (user + system), medians: per GiB of the big file, per 1,000 small files\n\n'
printf '| %-24s | %10s | %10s | %10s | %16s | %10s | %10s |\n' tool "client/GiB" "server/GiB" "total/GiB" "CPU-bound MB/s" "client/1k" "server/1k"
printf '|%s|\n' "--------------------------|------------|------------|------------|------------------|------------|-----------"
GIB=$(echo "$BIG_BYTES / 1073741824" | bc -l)
for tool in $TOOLS; do
  c=$(echo "$(median < "$WORK/ccpu.$tool.big") / $GIB" | bc -l)
  s=$(echo "$(median < "$WORK/scpu.$tool.big") / $GIB" | bc -l)
  slower=$(echo "if ($c > $s) $c else $s" | bc -l)
  bound=-
  [ "$(echo "$slower > 0" | bc -l)" = 1 ] && bound=$(printf '%.0f' "$(echo "1073.741824 / $slower" | bc -l)")
  c1k=- s1k=-
  if [ -s "$WORK/ccpu.$tool.small" ]; then
    c1k=$(printf '%.2f' "$(echo "$(median < "$WORK/ccpu.$tool.small") * 1000 / $FILES" | bc -l)")
    s1k=$(printf '%.2f' "$(echo "$(median < "$WORK/scpu.$tool.small") * 1000 / $FILES" | bc -l)")
  fi
  printf '| %-24s | %10.2f | %10.2f | %10.2f | %16s | %10s | %10s |\n' "$(name_of "$tool")" "$c" "$s" \
    "$(echo "$c + $s" | bc -l)" "$bound" "$c1k" "$s1k"
done

if [ "$MANY" = 1 ]; then
  printf '\n100,000 files of 1 KiB in 1,000 folders: files/s, and the peak memory of each side (max RSS)\n\n'
  printf '| %-24s | %8s | %-17s | %10s | %10s |\n' tool "files/s" "x rsync (spread)" "client MiB" "server MiB"
  printf '|%s|\n' "--------------------------|----------|-------------------|------------|-----------"
  for tool in $TOOLS; do
    [ "$tool" = raw ] && continue
    mfps=$(printf '%.0f' "$(echo "$MANY_FILES / $(median < "$WORK/secs.$tool.many")" | bc -l)")
    printf '| %-24s | %8s | %-17s | %10s | %10s |\n' "$(name_of "$tool")" "$mfps" "$(ratio_of "$tool" many)" \
      "$(maxof < "$WORK/cmem.$tool.many")" "$(maxof < "$WORK/smem.$tool.many")"
  done
fi

if [ "$WHATS" != "big small" ] && [ "$WHATS" != "big small many" ]; then
  printf '\nFolders and a sparse file: %s files in %s, a sparse file of %s GiB\n\n' "${TREE_FILES:-0}" "50 nested folders" "$HUGE_GIB"
  printf '| %-24s | %8s | %-17s | %9s | %-17s | %10s | %10s |\n' tool "files/s" "x rsync (spread)" "sparse MB/s" "x rsync (spread)" "client/GiB" "server/GiB"
  printf '|%s|\n' "--------------------------|----------|-------------------|-------------|-------------------|------------|-----------"
  for tool in $TOOLS; do
    [ "$tool" = raw ] && continue
    tfps=- tratio=- hmbs=- hratio=- hc=- hs=-
    if [ -s "$WORK/secs.$tool.tree" ]; then
      tfps=$(printf '%.0f' "$(echo "$TREE_FILES / $(median < "$WORK/secs.$tool.tree")" | bc -l)")
      tratio=$(ratio_of "$tool" tree)
    fi
    if [ -s "$WORK/secs.$tool.huge" ]; then
      hmbs=$(printf '%.0f' "$(echo "$HUGE_BYTES / $(median < "$WORK/secs.$tool.huge") / 1000000" | bc -l)")
      hratio=$(ratio_of "$tool" huge)
      hc=$(printf '%.2f' "$(echo "$(median < "$WORK/ccpu.$tool.huge") / $HUGE_GIB" | bc -l)")
      hs=$(printf '%.2f' "$(echo "$(median < "$WORK/scpu.$tool.huge") / $HUGE_GIB" | bc -l)")
    fi
    printf '| %-24s | %8s | %-17s | %11s | %-17s | %10s | %10s |\n' "$(name_of "$tool")" "$tfps" "$tratio" "$hmbs" "$hratio" "$hc" "$hs"
  done
fi
