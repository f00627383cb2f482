#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (preset "fuzz") and runs each one
# for a bounded time (FUZZ_SECONDS, default 30) from an empty corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

[ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

seconds=${FUZZ_SECONDS:-30}
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$(mktemp -d)
  echo "== $name for ${seconds}s"
  if "$target" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 "$corpus" \
       >"build/fuzz/$name.log" 2>&1; then
    grep -E "^stat::number_of_executed_units" "build/fuzz/$name.log" || true
  else
    echo "$name FAILED:"; tail -40 "build/fuzz/$name.log"; status=1
  fi
  rm -rf "$corpus"
done
exit $status
