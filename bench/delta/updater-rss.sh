#!/usr/bin/env bash
# Peak memory of a real update of one large program file: the updater (a Release build) fetches a
# release from nginx on 127.0.0.1 once with a patch from the installed copy and once as the whole
# package, each under GNU time. The files are real code: shared libraries of this machine joined
# to SIZE_MB, and a later "build" with stretches changed and code inserted.
#   bash bench/delta/updater-rss.sh AUTOUPDATE KLVPUBLISH [SIZE_MB=200]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
updater=$(realpath "$1")
publish=$(realpath "$2")
size_mb=${3:-200}
work=$(mktemp -d /tmp/klv-updater-rss.XXXXXX)
port=$((20000 + RANDOM % 20000))
trap 'bash "$root/tests/support/nginx-fixture.sh" stop "$work/server" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

# The earlier and the later file.
mkdir -p "$work/old" "$work/new"
: >"$work/old/kelvora.dll"
for lib in /usr/lib/x86_64-linux-gnu/*.so*; do
    [ -f "$lib" ] && [ ! -L "$lib" ] || continue
    cat "$lib" >>"$work/old/kelvora.dll"
    [ "$(stat -c %s "$work/old/kelvora.dll")" -ge $((size_mb * 1024 * 1024)) ] && break
done
truncate -s $((size_mb * 1024 * 1024)) "$work/old/kelvora.dll"
python3 - "$work/old/kelvora.dll" "$work/new/kelvora.dll" <<'PY'
import random, sys
data = bytearray(open(sys.argv[1], 'rb').read())
r = random.Random(1)
for _ in range(200):                       # changed stretches
    at = r.randrange(len(data) - 512)
    data[at:at + 512] = r.randbytes(512)
for _ in range(20):                        # inserted code
    at = r.randrange(len(data))
    data[at:at] = r.randbytes(8192)
open(sys.argv[2], 'wb').write(data)
PY

run() { # run WITH_PATCHES: prints the peak RSS in KB and the seconds
    local with=$1 install=$work/Klv tree=$work/server/docroot
    rm -rf "$install" "$tree/supports"
    mkdir -p "$install"
    sqlite3 "$install/klv.db" <"$root/tests/data/klv-schema.sql"
    sqlite3 "$install/klv.db" "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) values (137, 1010, '2026-11-02', '00000100'); insert into SYSTEMINFO values ('07', '4711'); insert into LICENSE values ('  DEMO-0001-K7Q2M9X4TB  ');"
    printf '[KLV_DEMO]\r\nDriver=QSQLITE\r\nDatabase=klv.db\r\n' >"$install/KlvAliases.ini"
    printf '1 VERSIONINFO\nFILEVERSION 1,0,0,0\nPRODUCTVERSION 1,0,0,0\nBEGIN\n BLOCK "StringFileInfo"\n BEGIN\n  BLOCK "041304E4"\n  BEGIN\n   VALUE "FileVersion", "5.2.0.1\\0"\n   VALUE "IntegerVersion", "137\\0"\n  END\n END\n BLOCK "VarFileInfo"\n BEGIN\n  VALUE "Translation", 0x413, 1252\n END\nEND\n' >"$work/version.rc"
    bash "$root/tests/support/make-pe.sh" pe32 "$work/version.rc" "$install/KLV.EXE"
    cp "$work/old/kelvora.dll" "$install/"
    cp "$updater" "$install/AutoUpdate"
    local previous=()
    [ "$with" = 1 ] && previous=(--previous "$work/old")
    "$publish" release --release 137 --programs "$work/new" --tree "$tree" --list whatsnewK7Q2M9X4TB.klv \
        --forced kelvora.dll --patch-level 9 "${previous[@]}" >/dev/null
    local start=$SECONDS
    (cd "$install" && KLV_INSTALL_DIR="$install/" KLV_UPDATE_SERVER="http://127.0.0.1:$port" QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -f %M -o "$work/rss" ./AutoUpdate 0 0 KLV_DEMO --unattended --no-restart >"$work/log" 2>&1) ||
        { cat "$work/log"; exit 1; }
    cmp -s "$install/kelvora.dll" "$work/new/kelvora.dll" || { echo "the updated file differs"; exit 1; }
    echo "$(cat "$work/rss") $((SECONDS - start))"
}

bash "$root/tests/support/nginx-fixture.sh" start "$work/server" "$port" $((port + 1)) >/dev/null
printf '4711:%s\n' "$(openssl passwd -apr1 K7Q2M9X4TB)" >>"$work/server/htpasswd"
size=$(stat -c %s "$work/new/kelvora.dll")
read -r patched patched_s < <(run 1)
grep -q "Bijgewerkt met patch: kelvora.dll" "$work/log" || { echo "not patched:"; cat "$work/log"; exit 1; }
read -r whole whole_s < <(run 0)
printf 'file %d MB; peak RSS with the patch %d MB (%d s), with the whole package %d MB (%d s); bound 64 MB + file = %d MB\n' \
    $((size / 1048576)) $((patched / 1024)) "$patched_s" $((whole / 1024)) "$whole_s" $((64 + size / 1048576))
