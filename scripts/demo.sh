#!/usr/bin/env bash
# The whole road in one command: builds the updater and the zlb tool, lays out a demo
# installation (SQLite database, KLV.EXE and AutoUpdate.exe with version resources, an alias
# file), starts a local update server (nginx on 127.0.0.1 with basic auth for the demo customer)
# with a package list and .zlb packages, runs the updater (the window when there is a display,
# the unattended mode otherwise) and prints what changed. The server is stopped whatever happens.
#   KLV_DEMO_DIR    where the demo goes (default: demo-run/ in the checkout)
#   KLV_DEMO_PORT   the server's port (default 18780)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target AutoUpdate zlb
zlb="$root/build-demo/tools/zlb/zlb"

demo=${KLV_DEMO_DIR:-$root/demo-run}
port=${KLV_DEMO_PORT:-18780}
install="$demo/Klv"
server="$demo/server"
work="$demo/work"
rm -rf "$demo"
mkdir -p "$install" "$work"

# Participant 4711 with customer key K7Q2M9X4TB (the last ten characters of the licence).
participant=4711
key=K7Q2M9X4TB

pe() { # pe OUT KEY=VALUE...: a PE file whose version resource holds the given strings
    local out=$1
    shift
    {
        printf '1 VERSIONINFO\nFILEVERSION 1,0,0,0\nPRODUCTVERSION 1,0,0,0\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0\n'
        printf 'FILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n  BLOCK "StringFileInfo"\n  BEGIN\n'
        printf '    BLOCK "041304E4"\n    BEGIN\n'
        for kv in "$@"; do printf '      VALUE "%s", "%s\\0"\n' "${kv%%=*}" "${kv#*=}"; done
        printf '    END\n  END\n  BLOCK "VarFileInfo"\n  BEGIN\n    VALUE "Translation", 0x413, 1252\n  END\nEND\n'
    } >"$work/version.rc"
    bash "$root/tests/support/make-pe.sh" pe32 "$work/version.rc" "$out"
}

# --- The installation as it is before the update -------------------------------------------
sqlite3 "$install/klv.db" <"$root/tests/data/klv-schema.sql"
sqlite3 "$install/klv.db" <<SQL
insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) values (137, 1010, '2026-11-02', '00000100');
insert into SYSTEMINFO values ('07', '$participant');
insert into LICENSE values ('  DEMO-0001-$key  ');
insert into ARNMATERIAAL values ('MAT00001', 'KOEL', 'T');
insert into ARNMATERIAAL values ('MAT00002', 'WAS', 'T');
insert into ARNMATERIAAL values ('MAT00003', 'TV', 'T');
SQL
printf '[KLV_DEMO]\r\nDriver=QSQLITE\r\nDatabase=klv.db\r\n' >"$install/KlvAliases.ini"
pe "$install/KLV.EXE" FileDescription=Kelvora FileVersion=5.2.0.1 IntegerVersion=137
pe "$install/AutoUpdate.exe" FileDescription=AutoUpdate FileVersion=1.4.0.0
pe "$install/help.dll" FileVersion=5.2.0.1
printf 'klv.exe=136\r\n' >"$install/WeHave.klv"
# The updater runs from the installation folder, as it does on the target systems.
cp build-demo/src/app/AutoUpdate "$install/"

# --- What the server offers ------------------------------------------------------------------
bash "$root/tests/support/nginx-fixture.sh" start "$server" "$port" $((port + 1)) >/dev/null
trap 'bash "$root/tests/support/nginx-fixture.sh" stop "$server" >/dev/null 2>&1 || true' EXIT
printf '%s:%s\n' "$participant" "$(openssl passwd -apr1 "$key")" >>"$server/htpasswd"
docroot="$server/docroot"
mkdir -p "$work/klv" "$work/db" "$work/u"
pe "$work/klv/klv.exe" FileDescription=Kelvora FileVersion=5.3.0.0 IntegerVersion=138
printf '20261201 premielijst december\r\n07;KOEL;koelkast;1;st;12,50;5;17,50\r\n07;WAS;wasmachine;1;st;10;5;15\r\n08;TV;televisie;1;st;4;2;6\r\n' \
    >"$work/klv/premies.csv"
pe "$work/help.dll" FileVersion=5.3.0.0
# Conversion script 138 and SQL update script 1011, which needs database version 138.
printf -- '-- database version 138\r\nalter table SYSPROPS add DEMO_138 integer\r\n;\r\nupdate SYSPROPS set VERSIENUMMER = 138\r\n;\r\n' \
    >"$work/db/138.SQL"
printf '138\r\nupdate SYSPROPS set DEMO_138 = 1, IUPDATE_SPP = 1011\r\nGO\r\n' >"$work/u/u1011.sql"
mkdir -p "$docroot/supports/klv137"
"$zlb" pack "$docroot/supports/klv137/klv.zlb" "$work/klv"
"$zlb" pack "$docroot/supports/klv137/help.zlb" "$work/help.dll"
"$zlb" pack "$docroot/supports/138.zlb" "$work/db"
"$zlb" pack "$docroot/supports/u1011.zlb" "$work/u"
cat >"$docroot/supports/whatsnew$key.klv" <<LIST
; Package list of the demo customer, release 137
[KLV137]
klv.exe=137
help.dll=5.3.0.0
[SQL137]
VERSIE=138
UPDATE=1011
[CMD137]
premielijst\$premies.csv=
selfrenew\$1.4.0.0=
LIST
sed -i 's/$/\r/' "$docroot/supports/whatsnew$key.klv"


state() { # what the demo prints before and after
    echo "  database: $(sqlite3 "$install/klv.db" 'select "versie " || max(VERSIENUMMER) || ", update " || max(IUPDATE_SPP) || ", laatste autoupdate " || max(DAUTOUPDATE_SPP) from SYSPROPS')"
    echo "  premies:  $(sqlite3 "$install/klv.db" 'select count(*) from ARNPREMIE') regels in ARNPREMIE"
    echo "  bestanden:"
    (cd "$install" && for f in $(ls | sort); do [ -f "$f" ] && echo "    $f $(md5sum <"$f" | cut -c1-8)"; done)
}
echo "Voor de update:"
state >"$work/before.txt"
cat "$work/before.txt"

cd "$install"
export KLV_INSTALL_DIR="$install" KLV_UPDATE_SERVER="http://127.0.0.1:$port"
status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Het venster opent: klik \"Ophalen\", daarna op het tabblad \"Update\" op \"Update\"."
    # There is no Kelvora here to hand over to when the window closes.
    ./AutoUpdate 0 0 KLV_DEMO --no-restart || status=$?
else
    echo "Geen beeldscherm: AutoUpdate draait zonder venster (--unattended)."
    ./AutoUpdate 0 0 KLV_DEMO --unattended --convert --backup-made --no-restart || status=$?
fi

echo
echo "Na de update (afsluitcode $status):"
state >"$work/after.txt"
cat "$work/after.txt"
echo
echo "Veranderd:"
diff "$work/before.txt" "$work/after.txt" | sed -n 's/^> /  /p' || true
