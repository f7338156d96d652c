#!/usr/bin/env bash
# Builds seed archives for fuzz_zlb with the zlb tool: stored and compressed entries, raw and
# compressed registries, folders, an empty file.
#   make-corpus.sh OUTDIR ZLB
set -euo pipefail
out=${1:?usage: $0 OUTDIR ZLB}
zlb=${2:?usage: $0 OUTDIR ZLB}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/sub/deeper"
printf 'update x;\r\n%.0s' $(seq 1 40) > "$work/tree/u1.sql"
: > "$work/tree/empty.txt"
printf 'abc' > "$work/tree/sub/a.txt"
head -c 300 /dev/urandom > "$work/tree/sub/deeper/noise.bin"

"$zlb" pack "$out/plain.zlb" "$work/tree/sub/a.txt" >/dev/null
"$zlb" pack --stored "$out/stored.zlb" "$work/tree/sub/a.txt" "$work/tree/empty.txt" >/dev/null
"$zlb" pack --paths "$out/paths.zlb" "$work/tree" >/dev/null
"$zlb" pack --paths --compress-registry --level 9 "$out/registry.zlb" "$work/tree" >/dev/null
"$zlb" pack --paths --stored --compress-registry "$out/both.zlb" "$work/tree" >/dev/null
# Entries of more than one I/O block take the paths where the CRC is summed on a second thread.
head -c 300000 /dev/urandom > "$work/large.bin"
"$zlb" pack --stored "$out/large-stored.zlb" "$work/large.bin" "$work/tree/sub/a.txt" >/dev/null
"$zlb" pack "$out/large-deflated.zlb" "$work/large.bin" >/dev/null
