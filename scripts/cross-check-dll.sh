#!/usr/bin/env bash
# Checks the Windows build of the sound library:
#   - pelrin.dll is a 32-bit x86 PE DLL named pelrin.dll in its export table;
#   - it exports exactly the sixteen APU_* functions, by their plain names
#     (no leading underscore, no @N suffix);
#   - it imports nothing but KERNEL32.dll and msvcrt.dll (no libgcc, libstdc++
#     or winpthread DLLs to ship beside it);
#   - no exported function pops its own arguments (ret $N would mean the
#     callee-cleans convention; checked where the DLL keeps its symbols);
#   - the import library, when given or found, provides all sixteen imports.
#
# Usage: scripts/cross-check-dll.sh [path/to/pelrin.dll] [path/to/import-lib]
# Default: build-win/pelrin/pelrin.dll, import library beside it.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
dll=${1:-$here/build-win/pelrin/pelrin.dll}
implib=${2:-}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}

fail=0
bad() { echo "FAIL: $*"; fail=1; }
ok() { echo "ok:   $*"; }

expected=$("$(dirname "$0")/exported-names.sh")

command -v "$objdump" >/dev/null || { echo "FAIL: $objdump not found (Debian: binutils-mingw-w64-i686)"; exit 2; }
[ -f "$dll" ] || { echo "FAIL: no DLL at $dll"; exit 1; }
[ "$(basename "$dll")" = pelrin.dll ] || bad "file is named $(basename "$dll"), want pelrin.dll"

format=$("$objdump" -f "$dll" 2>&1 | sed -n 's/.*file format \(.*\)$/\1/p')
[ "$format" = pei-i386 ] && ok "format $format" || bad "file format '$format', want pei-i386"

dump=$("$objdump" -p "$dll" 2>&1) || { echo "FAIL: $objdump -p failed"; echo "$dump" | head; exit 1; }

# DLL characteristics: the DLL flag must be set.
grep -qi '^[[:space:]]*DLL$' <<<"$dump" \
  && ok "DLL characteristic set" || bad "DLL characteristic not set"

# Name recorded in the export directory.
expname=$(echo "$dump" | awk '/^Name[[:space:]]/ && NF>=3 {print $NF; exit}')
[ "$expname" = pelrin.dll ] && ok "export directory names $expname" || bad "export directory names '$expname', want pelrin.dll"

# Exported names: the lines of the [Ordinal/Name Pointer] table.
names=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^[[:space:]]*$/ {t=0} t && /\[/ {print $NF}' | sort)
count=$(printf '%s\n' "$names" | grep -c . || true)
if [ "$names" = "$expected" ]; then
  ok "exports exactly the sixteen APU_* names"
else
  bad "exported names differ from the sixteen APU_* names ($count exported):"
  diff <(echo "$expected") <(printf '%s\n' "$names") | sed 's/^/      /'
fi
if printf '%s\n' "$names" | grep -Eq '^_|@'; then
  bad "decorated export names: $(printf '%s\n' "$names" | grep -E '^_|@' | tr '\n' ' ')"
fi
# Every export must be a named function with an ordinal in the name table
# (no forwarders, no export by ordinal only).
addr_count=$(echo "$dump" | awk '/Export Address Table -- Ordinal Base/ {t=1; next} t && /^[[:space:]]*$/ {t=0} t && /Export RVA/ {n++} END {print n+0}')
[ "$addr_count" = 16 ] && ok "16 export addresses" || bad "$addr_count export addresses, want 16"
grep -q 'Forwarder RVA' <<<"$dump" && bad "export table contains forwarders"

# Imported DLLs.
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
unexpected=$(printf '%s\n' "$imports" | grep -viE '^(KERNEL32\.dll|msvcrt\.dll)$' | grep . || true)
if [ -z "$imports" ]; then
  bad "no import table found"
elif [ -n "$unexpected" ]; then
  bad "imports other DLLs: $(echo $unexpected)  (link with -static -static-libgcc -static-libstdc++)"
else
  ok "imports only: $(echo $imports)"
fi

# Callee-cleans check on the function bodies, when symbols are present.
symtab=$("$objdump" -t "$dll" 2>/dev/null)
if grep -q ' _APU_Initialize$' <<<"$symtab"; then
  popping=""
  for n in $expected; do
    sym=$(grep -oE " _$n(@[0-9]+)?\$" <<<"$symtab" | head -1 | tr -d ' ')
    body=$("$objdump" -d --no-show-raw-insn --disassemble="${sym:-_$n}" "$dll" 2>/dev/null)
    if ! echo "$body" | grep -qE '^[[:space:]]*[0-9a-f]+:'; then
      popping+=" $n(no-code)"
    elif echo "$body" | grep -qE '[[:space:]]ret[lw]?[[:space:]]+\$'; then
      popping+=" $n"
    fi
  done
  [ -z "$popping" ] && ok "no export pops its arguments (ret without operand)" \
    || bad "callee-cleans returns or missing code in:$popping"
else
  echo "note: DLL has no symbol table; return instructions not inspected"
fi

# Import library.
if [ -z "$implib" ]; then
  for c in "$(dirname "$dll")/pelrin.lib" "$(dirname "$dll")/libpelrin.dll.a" "$(dirname "$dll")/pelrin.dll.a"; do
    [ -f "$c" ] && { implib=$c; break; }
  done
fi
if [ -n "$implib" ] && [ -f "$implib" ]; then
  syms=$("$nm" "$implib" 2>/dev/null | awk '$2=="I" || $2=="T" {print $3}' | sort -u)
  missing=""
  for n in $expected; do
    echo "$syms" | grep -qx "__imp__$n" || missing+=" $n"
  done
  [ -z "$missing" ] && ok "import library $(basename "$implib") provides all sixteen imports" \
    || bad "import library $implib lacks:$missing"
  grep -q ' I __head_pelrin_dll$' < <("$nm" "$implib" 2>/dev/null) \
    && ok "import library refers to pelrin.dll" || bad "import library does not refer to pelrin.dll"
else
  bad "no import library found beside $dll"
fi

if [ $fail -eq 0 ]; then
  echo "PASS: $dll"
else
  echo "FAIL: $dll"
fi
exit $fail
