#!/usr/bin/env bash
# Package repairer benchmarks, outside CI: the check against a plain read + crc32 loop, warm and
# cold, and the repair of K scattered broken 64 KiB blocks against zsync, served by nginx on
# loopback.
#
#   bench/run_package_bench.sh [SIZES_MIB] [RUNS]     (defaults: "256 4096", 3 runs; medians)
#
# Installs what it needs (nginx-light, zsync) with apt-get, builds the default preset and the
# driver bench/package_bench.cpp, and prints one line per figure.
set -euo pipefail

SIZES=${1:-"256 4096"}
RUNS=${2:-3}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qn_pkg_bench_XXXXXX")
trap 'qn_nginx_stop; rm -rf "$WORK"' EXIT

qn_install_missing nginx-light zsync

cmake --preset default >/dev/null
cmake --build --preset default --target all package_bench -- -j4 >/dev/null
DRIVER="$ROOT/build/default/bench/package_bench"

mkdir -p "$WORK/www"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

for MIB in $SIZES; do
  D="$WORK/p$MIB"
  "$DRIVER" gen "$D" "$MIB"
  ln -sfn "$D/www" "$WORK/pkgroot"
  qn_nginx_start "$WORK/nginx" "$WORK/pkgroot" "${QN_NGINX_BENCH[@]}" log=ranges
  URL="http://127.0.0.1:$QN_NGINX_PORT/pak/"

  for mode in warm cold; do
    ours=(); ref=(); rss=()
    for _ in $(seq "$RUNS"); do
      out=$("$DRIVER" check "$D" "$URL" $mode); ours+=("$(echo "$out" | field seconds)"); rss+=("$(echo "$out" | field peak_rss_kib)")
      ref+=("$("$DRIVER" crcloop "$D" $mode | field seconds)")
    done
    o=$(printf '%s\n' "${ours[@]}" | median); r=$(printf '%s\n' "${ref[@]}" | median)
    m=$(printf '%s\n' "${rss[@]}" | median)
    echo "check $MIB MiB $mode: ours ${o}s, read+crc32 ${r}s, ratio $(echo "$o / $r" | bc -l | cut -c1-5), peak RSS ${m} KiB"
  done

  FILES=$(ls "$D/work/pakV3"/Package*.DAT | wc -l)
  for K in 1 64 1024; do
    "$DRIVER" damage "$D" "$K"
    rm -rf "$D/z" && mkdir -p "$D/z/in" "$D/z/out" "$D/www/pak/zs"
    cp "$D/work/pakV3"/Package*.DAT "$D/z/in/"
    : > "$WORK/nginx/access.log"
    out=$("$DRIVER" repair "$D" "$URL")
    sleep 0.5  # nginx writes its log line after the answer
    reqs=$(grep -c '/UpdateFiles/' "$WORK/nginx/access.log" || true)
    bytes=$(grep '/UpdateFiles/' "$WORK/nginx/access.log" | awk -F'|' '{s+=$4} END {print s+0}')
    cmp -s "$D/work/pakV3/Package0.DAT" "$D/good/pakV3/Package0.DAT" && same=identical || same=DIFFERENT
    echo "repair $MIB MiB K=$K: $(echo "$out" | sed 's/peak_rss_kib=[0-9]*//'), requests $reqs, bytes $bytes (broken $((K * 65536))), $same"

    # zsync on the same damage, file by file, with 64 KiB blocks.
    for ((f = 0; f < FILES; f++)); do
      [ -f "$D/www/pak/zs/$f.zsync" ] || zsyncmake -b 65536 -u "${URL}UpdateFiles/$f-$((f + 1)).UPDATE" \
        -o "$D/www/pak/zs/$f.zsync" "$D/good/pakV3/Package$f.DAT" >/dev/null 2>&1
    done
    : > "$WORK/nginx/access.log"
    t0=$(date +%s.%N)
    for ((f = 0; f < FILES; f++)); do
      (cd "$D/z/out" && zsync -q -i "$D/z/in/Package$f.DAT" -o "$D/z/out/Package$f.DAT" "${URL}zs/$f.zsync" \
        >"$WORK/zsync.log" 2>&1) || { echo "zsync failed:"; cat "$WORK/zsync.log"; }
    done
    t1=$(date +%s.%N)
    sleep 0.5
    zreqs=$(grep -c '/UpdateFiles/' "$WORK/nginx/access.log" || true)
    zbytes=$(grep '/UpdateFiles/' "$WORK/nginx/access.log" | awk -F'|' '{s+=$4} END {print s+0}')
    echo "zsync  $MIB MiB K=$K: seconds=$(echo "$t1 - $t0" | bc -l | cut -c1-6), requests $zreqs, bytes $zbytes"
  done
  qn_nginx_stop
  rm -rf "$D"
done
