#!/usr/bin/env bash
# Compiles every kernel source (VhubVMic/, devsec/) with the Windows cross
# compiler against mingw-w64's DDK headers, so the driver stays real kernel code.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=x86_64-w64-mingw32-g++
inc=$($CXX -E -Wp,-v - </dev/null 2>&1 | awk '/^ \/.*mingw32\/include$/ {print $1}' | tail -1)
flags=(-std=c++17 -fno-exceptions -fno-rtti -ffreestanding -Wall -Wextra -Wno-unused-parameter
       -I"$inc/ddk" -IVhubVMic -Idevsec
       -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)
status=0
while IFS= read -r f; do
  if ! $CXX "${flags[@]}" -fsyntax-only "$f"; then echo "DDK compile failed: $f" >&2; status=1; fi
done < <(find VhubVMic devsec -name '*.cpp' 2>/dev/null | sort)
[ $status = 0 ] && echo "kernel sources compile against the DDK headers"
exit $status
