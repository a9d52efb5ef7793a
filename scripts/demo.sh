#!/usr/bin/env bash
# Runs the tool's main job on a sample: a client made by the repair test kit, broken in several
# ways (ordinary files deleted and changed, package blocks and package files changed), its repair
# server served by nginx on 127.0.0.1, and the tool pointed at it. With a display the tool runs in
# its window; without one (or with QN_DEMO_HEADLESS=1) a scripted user answers its dialogs and the
# status lines and the summary are printed. The repaired client is compared with the good one.
# The run is bounded by QN_DEMO_TIME_LIMIT seconds (300). Exits 0 only when the repair succeeded.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source scripts/lib.sh

bash scripts/install-deps.sh

echo "demo: building the tool and the repair test kit"
cmake --preset default >/dev/null
cmake --build build/default -j"${QN_DEMO_JOBS:-4}" --target QelRepair make_repair_fixture >/dev/null
tool_program="$repo/build/default/program/QelRepair.exe"
fixture_maker="$repo/build/default/tests/support/kit/make_repair_fixture"

work=$(mktemp -d "${TMPDIR:-/tmp}/qelrepair-demo.XXXXXX")
# The whole run is bounded: the program, and the copy of it that goes on in the client folder,
# run in a process group of their own (timeout's); when the time limit hits, or the demo is
# interrupted, every process of that group is ended. Each run writes to a pipe that stays open
# until the copy in the client folder has ended too.
time_limit=${QN_DEMO_TIME_LIMIT:-300}
run_group=""
tool_status=0
end_run_group() {
  if [ -n "$run_group" ]; then
    kill -TERM -- "-$run_group" 2>/dev/null || true
    kill -KILL -- "-$run_group" 2>/dev/null || true
    wait "$run_group" 2>/dev/null || true
    run_group=""
  fi
}
run_bounded() {
  timeout -k 10 "$time_limit" "$@" &
  run_group=$!
  wait "$run_group" || tool_status=$?
  # A process that let go of the pipe but goes on is ended too.
  kill -KILL -- "-$run_group" 2>/dev/null || true
  run_group=""
  if [ "$tool_status" -eq 124 ] || [ "$tool_status" -eq 137 ]; then
    echo "demo: the run did not end within $time_limit s (QN_DEMO_TIME_LIMIT); it was stopped" >&2
  fi
}
cleanup() {
  end_run_group
  qn_nginx_stop
  if [ "${QN_DEMO_KEEP:-0}" != 1 ]; then rm -rf "$work"; else echo "demo: kept $work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The kit's client F1 (100 ordinary files, a package of three data files) and its repair
# server; the damage row D-ALL deletes lib/core.dll, changes config/client.ini, a byte in two
# package blocks, the package's configuration and one of its folder files.
echo "demo: making the sample client and its repair server"
"$fixture_maker" "$work/fx" F1 --scenario D-ALL >/dev/null
good="$work/fx/client"
client="$work/fx/work"
docroot="$work/fx/www"

# nginx on a free loopback port, the cache-defeating tail of the tool's requests stripped.
qn_nginx_start "$work/nginx" "$docroot" log=combined keepalive=75s
port=$QN_NGINX_PORT
echo "demo: the repair server is http://127.0.0.1:$port/qelrepair/"

# The server's self-update index offers the tool's own version: no update, the tool goes on.
md5=$(md5sum "$tool_program" | cut -d' ' -f1)
cp "$tool_program" "$docroot/qelrepair/QelRepair.exe"
printf '[SelfUpdate]\r\nLastestVersionNumber=%s\r\nFileName=QelRepair.exe\r\nFileMD5=%s\r\n' \
  "$(sed -n 's/^project(QelRepair VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" "$md5" >"$docroot/qelrepair/qel_index.info"

# The tool starts from a download folder outside the client, as a user would start it; once the
# client folder is confirmed it copies itself there and goes on from there with "-i".
mkdir -p "$work/download" "$work/platform"
cp "$tool_program" "$work/download/QelRepair.exe"
settings=$(printf '[server]\r\nip=http://127.0.0.1:%s/qelrepair/\r\n' "$port")
printf '%s' "$settings" >"$work/download/repair_settings.ini"
printf '%s' "$settings" >"$client/repair_settings.ini"
export QN_PLATFORM_ROOT="$work/platform"

echo "demo: running the tool on the broken client $client/"
if [ -n "${DISPLAY:-}" ] && [ "${QN_DEMO_HEADLESS:-0}" != 1 ]; then
  echo "demo: in its window: confirm the folder $client/ and click 开始修复"
  run_bounded bash -c 'set -o pipefail; "$1" | cat' demo "$work/download/QelRepair.exe"
else
  run_bounded env QN_UI=headless QN_SCRIPT_CLIENT_ROOT="$client/" \
    bash -c 'set -o pipefail; "$1" | tee "$2"' demo "$work/download/QelRepair.exe" "$work/run.log"
fi

status=0
if [ "$tool_status" -ne 0 ]; then
  echo "demo: the tool ended with status $tool_status" >&2
  status=1
fi
for part in bin/zhcn pakV3; do
  if ! diff -r -q "$good/$part" "$client/$part"; then status=1; fi
done
if [ -f "$work/run.log" ] && ! grep -q '^summary: 修复完成：.*失败0个。' "$work/run.log"; then status=1; fi
if [ "$status" -eq 0 ]; then
  echo "demo: the repaired client is byte for byte the good one: the repair succeeded"
else
  echo "demo: the repaired client differs from the good one: the repair failed" >&2
fi
exit "$status"
