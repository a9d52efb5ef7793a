#!/usr/bin/env bash
# File-version cases of the download library, measured from outside with the benchmark driver
# (`get URL DIR N`) against small loopback servers (`vserve`), outside CI:
#   a server farm of two nodes (alternating per connection) whose validators differ by node
#   (ETag, Last-Modified) or not, 32 MiB paced at 8 MB/s per connection, 1 and 4 connections;
#   a file whose HEAD says one byte more than every GET serves (1 MiB), fast and paced;
#   answers cut after 12 MiB of body (a proxy that drops long transfers), 32 MiB at 8 and at
#   80 MB/s per connection: a file replaced by another version of the same size after the first
#   GET (4 connections), and the farm with ETags of each node's own (1 and 4 connections).
#
#   bench/run_version_bench.sh [LABEL=TREE ...]
#
# Each TREE is a source tree with its default preset already built (build/default); the
# driver's `get` is built against that tree's library, the servers come from this tree. With
# no argument, this tree alone (built here first). One line per case and tree.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_vbench_XXXXXX")
trap 'kill ${SERVE_PID:-} 2>/dev/null || true; rm -rf "$WORK"' EXIT

trees=("$@")
if [ ${#trees[@]} -eq 0 ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default >/dev/null
  trees=("this=$ROOT")
fi


qn_build_download_driver "$WORK/server" "$ROOT" "$ROOT"
for t in "${trees[@]}"; do qn_build_download_driver "$WORK/get_${t%%=*}" "$ROOT" "${t#*=}"; done

# case LABEL KIND SIZE RATE CONNECTIONS
run_case() {
  local label=$1 kind=$2 size=$3 rate=$4 conns=$5
  for t in "${trees[@]}"; do
    local name=${t%%=*}
    "$WORK/server" vserve "$kind" "$size" "$rate" 200 "$WORK/stats" > "$WORK/port.txt" & SERVE_PID=$!
    for _ in $(seq 100); do grep -q port= "$WORK/port.txt" 2>/dev/null && break; sleep 0.05; done
    local port; port=$(sed -n 's/^port=//p' "$WORK/port.txt")
    rm -rf "$WORK/out"; mkdir -p "$WORK/out"
    local res
    res=$(timeout 120 "$WORK/get_$name" get "http://127.0.0.1:$port/f.bin" "$WORK/out" "$conns" 2>/dev/null || true)
    [ -n "$res" ] || res="status=? error=? wall_s=>120"
    local exact="-"
    # The replaced file is exact when it is wholly one version, whichever.
    if [ -f "$WORK/out/out.bin" ]; then
      case $kind in
        replaced-*) exact=$("$WORK/server" version "$WORK/out/out.bin" "$size" || true) ;;
        *) exact=$("$WORK/server" same "$WORK/out/out.bin" || true) ;;
      esac
    fi
    local cfg=no; [ -f "$WORK/out/out.bin.cfg" ] && cfg=yes
    printf '%-40s %-6s %s %s %s cfg_left=%s\n' "$label" "$name" "$res" "$(cat "$WORK/stats")" "$exact" "$cfg"
    kill "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; SERVE_PID=
  done
}

MiB=$((1024 * 1024))
for c in 1 4; do
  run_case "farm ETag, $c conn" farm-etag $((32 * MiB)) 8000000 "$c"
  run_case "farm date, $c conn" farm-date $((32 * MiB)) 8000000 "$c"
  run_case "farm same, $c conn" farm-same $((32 * MiB)) 8000000 "$c"
done
run_case "changed size, fast" longer-head "$MiB" 0 4
run_case "changed size, paced" longer-head "$MiB" 8000000 4
for rate in 8000000 80000000; do
  r="$((rate / 1000000)) MB/s"
  run_case "replaced, cut 12 MiB, 4 conn, $r" replaced-cut $((32 * MiB)) "$rate" 4
  for c in 1 4; do
    run_case "farm ETag, cut 12 MiB, $c conn, $r" farm-etag-cut $((32 * MiB)) "$rate" "$c"
  done
done
