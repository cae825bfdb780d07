#!/usr/bin/env bash
# Checks the built vemo.exe as people download it: the machine and subsystem, imports of system
# DLLs only, the size bound, ASLR and DEP, no writable code, the version resource (naming the
# project's VERSION) and manifest (with the UTF-8 code page), and that a clean rebuild and a build
# in another folder give the same bytes.
#   check_exe.sh EXE x86|x64 SOURCE_DIR TOOLCHAIN_FILE VERSION
set -uo pipefail
exe=$1 arch=$2 src=$3 toolchain=$4 version=$5
case $arch in
  x86) triplet=i686-w64-mingw32 format=pei-i386 magic=010b chars=(0040 0100) ;;
  x64) triplet=x86_64-w64-mingw32 format=pei-x86-64 magic=020b chars=(0020 0040 0100) ;;
  *) echo "unknown arch $arch"; exit 2 ;;
esac
objdump=$triplet-objdump
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

headers=$($objdump -p "$exe") || { echo "FAIL: cannot read $exe"; exit 1; }

grep -q "file format $format" <<<"$headers" && pass "format $format" || fail "not $format"
grep -qE "^Magic\s+$magic" <<<"$headers" && pass "magic $magic" || fail "optional header magic not $magic"
grep -qE '^Subsystem\s+00000003' <<<"$headers" && pass "console subsystem" || fail "not the console subsystem"

imports=$(grep -E '^\s*DLL Name:' <<<"$headers" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
[ "$imports" = "GDI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL SHLWAPI.DLL USER32.DLL " ] \
  && pass "imports $imports" || fail "imports are '$imports'"
# Windows 7 lacks the per-window DPI calls: they are looked up at run time, never imported.
late=$(grep -owE 'GetDpiForWindow|GetSystemMetricsForDpi' <<<"$headers" | sort -u | paste -sd' ')
[ -z "$late" ] && pass "no import that Windows 7 lacks" || fail "imports $late, which Windows 7 lacks"

size=$(stat -c %s "$exe")
[ "$size" -le 32768 ] && pass "size $size bytes" || fail "size $size bytes, over 32 KiB"

dll_chars=$((16#$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")))
for bit in "${chars[@]}"; do
  (( dll_chars & 16#$bit )) && pass "DllCharacteristics has $bit" || fail "DllCharacteristics lacks $bit"
done

# A section is writable when objdump does not call it READONLY.
wx=$($objdump -h "$exe" | grep -A1 -E '^\s+[0-9]+ ' | grep CODE | grep -v READONLY)
[ -z "$wx" ] && pass "no writable code" || fail "writable code section: $wx"

resources=$(strings -a -el "$exe"; strings -a "$exe")
for text in "FileDescription" "Vemo Tool" "FileVersion" "ProductVersion" "OriginalFilename" \
            "vemo.exe" "ProductName" 'level="asInvoker"' \
            35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
            1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a \
            'xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings"' \
            '<activeCodePage>UTF-8</activeCodePage>' \
            '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>'; do
  grep -qF -- "$text" <<<"$resources" && pass "resource text $text" || fail "no resource text $text"
done
# FileVersion and ProductVersion are the only strings of the version resource that read the
# version, and the fixed part's file and product versions are its numbers, the missing ones 0.
[ "$(strings -a -el -n 3 "$exe" | grep -cxF -- "$version")" -eq 2 ] \
  && pass "version texts $version" || fail "FileVersion and ProductVersion are not both $version"
IFS=. read -r major minor patch tweak <<<"$version"
numbers="${major:-0}.${minor:-0}.${patch:-0}.${tweak:-0}"
fixed=$(python3 - "$exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
versions = struct.unpack_from("<4I", data, at + 8) if at >= 0 else (0,) * 4
file_ms, file_ls, product_ms, product_ls = versions
print(*(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
        for ms, ls in ((file_ms, file_ls), (product_ms, product_ls))))
PY
)
[ "$fixed" = "$numbers $numbers" ] && pass "version numbers $numbers" \
  || fail "the file and product version numbers are $fixed, not $numbers"

# Two more builds of the same sources, in folders of their own, one of them cleaned and rebuilt.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for dir in a b; do
  cmake -S "$src" -B "$work/$dir" -G Ninja --toolchain "$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DVEMO_BUILD_TESTS=OFF >/dev/null && cmake --build "$work/$dir" --target vemo >/dev/null \
    || fail "build in $work/$dir"
done
cmake --build "$work/a" --target clean >/dev/null && cmake --build "$work/a" --target vemo >/dev/null
for dir in a b; do
  cmp -s "$exe" "$work/$dir/vemo.exe" && pass "same bytes as the build in another folder ($dir)" \
    || fail "bytes differ from the build in $work/$dir"
done

echo "$failures failed"
[ "$failures" -eq 0 ]
