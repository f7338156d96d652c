#!/usr/bin/env bash
# Builds seed inputs for fuzz_verinfo: real PE32 and PE32+ files with version resources, made
# by tests/support/make-pe.sh like the test fixtures.
#   make-corpus.sh OUTDIR
set -euo pipefail
out=${1:?usage: $0 OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
make_pe=$here/../../tests/support/make-pe.sh
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/full.rc" <<'RC'
1 VERSIONINFO
FILEVERSION 136,46,0,12
PRODUCTVERSION 136,46,0,0
FILEFLAGSMASK 0x3f
FILEFLAGS 0x2b
FILEOS 0x40004
FILETYPE 0x1
FILESUBTYPE 0x0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "041304E4"
    BEGIN
      VALUE "CompanyName", L"Kelvora B.V."
      VALUE "FileDescription", L"Automatisch updaten"
      VALUE "FileVersion", L"136.46.0.12"
      VALUE "InternalName", L"AutoUpdate"
      VALUE "LegalCopyright", L"\x00A9 Kelvora be\x00EBindigd \x20AC"
      VALUE "LegalTrademarks", L""
      VALUE "OriginalFilename", L"AutoUpdate.exe"
      VALUE "ProductName", L"Kelvora"
      VALUE "ProductVersion", L"136.46"
      VALUE "Comments", L"Ohm \x03A9"
      VALUE "IntegerVersion", L"1010"
    END
    BLOCK "040904B0"
    BEGIN
      VALUE "FileVersion", L"9.9.9.9"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x413, 1252, 0x409, 1200
  END
END
RC

cat > "$work/minimal.rc" <<'RC'
1 VERSIONINFO
FILEVERSION 1,0,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "FileVersion", L"1.0.0.0"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
RC

cat > "$work/other.rc" <<'RC'
1 RCDATA
BEGIN
  "no version here"
END
RC

for rc in full minimal other; do
    for arch in pe32 pe32+; do
        "$make_pe" "$arch" "$work/$rc.rc" "$out/$rc-${arch/+/plus}.exe"
    done
done

# The version trees on their own, for the half of the target that reads a resource directly.
for exe in full-pe32 minimal-pe32; do
    at=$(LC_ALL=C grep -obUaP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00' "$out/$exe.exe" | head -1 | cut -d: -f1)
    root=$((at - 6))
    length=$(od -An -tu2 -j "$root" -N2 "$out/$exe.exe" | tr -d ' ')
    dd if="$out/$exe.exe" of="$out/$exe.tree" bs=1 skip="$root" count="$length" status=none
done
