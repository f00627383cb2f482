#!/usr/bin/env bash
# Every test suite of the host build (preset dev, or the one given).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
scripts/setup.sh "$preset"
ctest --preset "$preset"
