#!/usr/bin/env bash
# The main job: one vhub lab session (arguments go to `vhub run`; try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dev >&2
exec build/dev/tools/vhub/vhub run "$@"
