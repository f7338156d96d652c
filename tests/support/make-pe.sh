#!/usr/bin/env bash
# Builds a real PE file that holds the resources of an .rc file, for tests and the demo.
#   make-pe.sh ARCH RCFILE OUT     ARCH: pe32 (i686) or pe32+ (x86-64)
# The .rc file goes through windres without a preprocessor: no #include or #define, numbers only.
# The executable gets a tiny entry point (it returns 0) so that it is a complete program.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 pe32|pe32+ RCFILE OUT" >&2
    exit 2
fi
arch=$1 rc=$2 out=$3
case "$arch" in
    pe32) prefix=i686-w64-mingw32 ;;
    pe32+) prefix=x86_64-w64-mingw32 ;;
    *) echo "$0: unknown architecture '$arch' (pe32 or pe32+)" >&2; exit 2 ;;
esac
for tool in windres as ld; do
    command -v "$prefix-$tool" >/dev/null || { echo "$0: $prefix-$tool not found" >&2; exit 3; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$prefix-windres" --preprocessor=cat -O coff -i "$rc" -o "$work/resource.o"
printf '\t.text\n\t.globl start\nstart:\n\txorl %%eax, %%eax\n\tret\n' > "$work/entry.s"
"$prefix-as" "$work/entry.s" -o "$work/entry.o"
"$prefix-ld" -e start -o "$out" "$work/entry.o" "$work/resource.o"
