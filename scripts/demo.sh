#!/usr/bin/env bash
# Runs the tool's main job on a built-in sample client and repair server.
set -euo pipefail
echo "demo: the repair application is not built yet; nothing to run." >&2
exit 1
