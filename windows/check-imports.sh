#!/usr/bin/env bash
# Checks a built VhubVMic.sys the way a driver loader and a reviewer would:
#   - PE32+ (optional-header magic 0x20b), subsystem native (1),
#     an entry point and a valid image checksum field (non-zero);
#   - imports only from ntoskrnl.exe, HAL.dll and USBD.SYS, each by name;
#   - every imported name listed, for its module, in allowed-imports.txt.
# Usage: check-imports.sh [VhubVMic.sys] [allowed-imports.txt]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
image=${1:-$here/../build/windows/VhubVMic.sys}
allowed=${2:-$here/allowed-imports.txt}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

[ -f "$image" ] || { echo "check-imports: no image at $image" >&2; exit 2; }
dump=$($OBJDUMP -p "$image")
fail=0
problem() { echo "check-imports: $*" >&2; fail=1; }

field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$dump"; }
[ "$(field Magic)" = 020b ] || problem "not PE32+ (Magic $(field Magic))"
[ "$(field Subsystem)" = 00000001 ] || problem "subsystem is $(field Subsystem), not native (1)"
entry=$(field AddressOfEntryPoint)
[ -n "$entry" ] && [ $((16#$entry)) -ne 0 ] || problem "no entry point"
sum=$(field CheckSum)
[ -n "$sum" ] && [ $((16#$sum)) -ne 0 ] || problem "image checksum not set"

# "module name" for every import; "module #ordinal" for imports by ordinal.
imports=$(awk '
  /^The Import Tables/ { in_imports = 1; next }
  /^The Export Tables|^The Function Table|^PE File Base Relocations/ { in_imports = 0 }
  !in_imports { next }
  /DLL Name:/ { dll = $3; next }
  /^ [0-9a-f]+\t/ { dll = ""; next }      # next import directory entry
  /Hint\/Ord/ { next }
  dll != "" && /^\t[0-9a-f]+\t/ {
    if (NF >= 3 && $3 != "<none>") print dll, $3; else print dll, "#" $2
  }' <<<"$dump" | sort -u)
[ -n "$imports" ] || problem "no import table found"

# The allowed list: "module name" per line, '#' starts a comment.
allowed_set=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$allowed" | awk '{ print $1, $2 }' | sort -u)

while read -r dll name; do
  [ -n "$dll" ] || continue
  case "$dll" in
    ntoskrnl.exe|HAL.dll|USBD.SYS) ;;
    *) problem "imports $name from $dll, which is not ntoskrnl.exe, HAL.dll or USBD.SYS"; continue ;;
  esac
  case "$name" in
    '#'*) problem "imports ordinal ${name#\#} from $dll; imports must be by name"; continue ;;
  esac
  grep -qxF "$dll $name" <<<"$allowed_set" || problem "$dll!$name is not in $(basename "$allowed")"
done <<<"$imports"

if [ $fail = 0 ]; then
  echo "check-imports: $(basename "$image"): PE32+, native, $(wc -l <<<"$imports") imports, all allowed"
fi
exit $fail
