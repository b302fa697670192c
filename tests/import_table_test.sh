#!/usr/bin/env bash
# vantro.exe must run from a bare download: it may import only DLLs every Windows has, never
# the compiler's runtime (libstdc++, libgcc, libwinpthread). Nor shlwapi.dll: loading it
# brings in user32, gdi32 and more, which doubles the start-up; the path functions are
# bound at start from kernelbase.dll, which every process has loaded.
# Usage: import_table_test.sh <vantro.exe> <objdump for the target>
set -u
exe=$1
objdump=$2

table=$("$objdump" -p "$exe") || { echo "FAIL: $objdump could not read $exe"; exit 1; }
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table")
echo "imports:" $dlls
if ! grep -qix 'kernel32.dll' <<<"$dlls"; then
  echo "FAIL: no import of KERNEL32.dll found; is this a Windows executable?"
  exit 1
fi
if grep -qix 'shlwapi.dll' <<<"$dlls"; then
  echo "FAIL: imports shlwapi.dll, whose loading costs the start-up"
  exit 1
fi
# The system's own DLLs; the C runtime may come as msvcrt or as the api-ms-win-crt sets.
foreign=$(grep -viE '^(kernel32|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$dlls")
if [ -n "$foreign" ]; then
  echo "FAIL: imports DLLs that are not part of Windows:" $foreign
  exit 1
fi
echo "ok   only system DLLs imported"
