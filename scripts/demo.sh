#!/usr/bin/env bash
# The whole road in one command: builds the updater and the maker's tools, lays out a demo
# installation (SQLite database, KLV.EXE and AutoUpdate.exe with version resources, an alias
# file), publishes a release as the maker does (klvpublish release and sign, with a key made for
# the demo that the demo's updater is built to trust), serves it from a local update server
# (nginx on 127.0.0.1 with basic auth for the demo customer), runs the updater (the window when
# there is a display, the unattended mode otherwise), then publishes a second release and fetches
# it over https, and prints what changed. The server is stopped whatever happens.
#   KLV_DEMO_DIR    where the demo goes (default: demo-run/ in the checkout)
#   KLV_DEMO_PORT   the server's http port (default 18780; https on the next one)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
# The maker's signing key and the authority of the demo's https server, made once: the demo's
# updater is built to trust exactly these.
trust="$root/build-demo/demo-trust"
mkdir -p "$trust"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target klvpublish zlb
publish="$root/build-demo/tools/publish/klvpublish"
[ -f "$trust/maker.key" ] || "$publish" keygen "$trust/maker" >/dev/null
if [ ! -f "$trust/ca.pem" ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
        -subj "/CN=AutoUpdate demo CA" -keyout "$trust/ca.key" -out "$trust/ca.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
fi
cmake -S . -B build-demo -DKLV_PUBLIC_KEYS="$trust/maker.pub" -DKLV_TRUSTED_CA="$trust/ca.pem" >/dev/null
cmake --build build-demo -j"$(nproc)" --target AutoUpdate

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

# --- What the server offers: release 137 as the maker publishes it -------------------------
export KLV_NGINX_CA_DIR="$trust"
bash "$root/tests/support/nginx-fixture.sh" start "$server" "$port" $((port + 1)) >/dev/null
trap 'bash "$root/tests/support/nginx-fixture.sh" stop "$server" >/dev/null 2>&1 || true' EXIT
printf '%s:%s\n' "$participant" "$(openssl passwd -apr1 "$key")" >>"$server/htpasswd"
docroot="$server/docroot"
mkdir -p "$work/klv137" "$work/scripts" "$work/klv138"
pe "$work/klv137/klv.exe" FileDescription=Kelvora FileVersion=5.3.0.0 IntegerVersion=138
pe "$work/klv137/help.dll" FileVersion=5.3.0.0
printf '20261201 premielijst december\r\n07;KOEL;koelkast;1;st;12,50;5;17,50\r\n07;WAS;wasmachine;1;st;10;5;15\r\n08;TV;televisie;1;st;4;2;6\r\n' \
    >"$work/klv137/premies.csv"
# Conversion script 138 and SQL update script 1011, which needs database version 138.
printf -- '-- database version 138\r\nalter table SYSPROPS add DEMO_138 integer\r\n;\r\nupdate SYSPROPS set VERSIENUMMER = 138\r\n;\r\n' \
    >"$work/scripts/138.SQL"
printf '138\r\nupdate SYSPROPS set DEMO_138 = 1, IUPDATE_SPP = 1011\r\nGO\r\n' >"$work/scripts/u1011.sql"
list="whatsnew$key.klv"
# klv.exe is numbered (the installation remembers 136 for it); help.dll goes by its version;
# premies.csv has none and is numbered with the release.
"$publish" release --release 137 --programs "$work/klv137" --scripts "$work/scripts" --tree "$docroot" \
    --list "$list" --numbered klv.exe=137 --command 'premielijst$premies.csv' --command 'selfrenew$1.4.0.0' >/dev/null
"$publish" sign --key "$trust/maker.key" --tree "$docroot" --valid-days 30 >/dev/null
echo "Gepubliceerd en ondertekend (klvpublish verify):"
"$publish" verify --key "$trust/maker.pub" --tree "$docroot" | sed 's/^/  /'

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

# --- A second release, fetched over https -----------------------------------------------------
# KLV.EXE now wants release 138: the maker publishes a newer help.dll for it and signs the tree
# again (a higher serial); the updater fetches it from the https address, trusting the demo's
# authority that it was built with.
pe "$work/klv138/help.dll" FileVersion=5.4.0.0
"$publish" release --release 138 --programs "$work/klv138" --tree "$docroot" --list "$list" >/dev/null
"$publish" sign --key "$trust/maker.key" --tree "$docroot" --valid-days 30 >/dev/null
echo
echo "Tweede release (138) via https://127.0.0.1:$((port + 1)):"
second=0
KLV_UPDATE_SERVER="https://127.0.0.1:$((port + 1))" ./AutoUpdate 0 0 KLV_DEMO --unattended --no-restart \
    >"$work/second.txt" 2>&1 || second=$?
sed 's/^/  /' "$work/second.txt"
state >"$work/after2.txt"
echo "Na de tweede update (afsluitcode $second):"
diff "$work/after.txt" "$work/after2.txt" | sed -n 's/^> /  /p' || true
[ "$status" -eq 0 ] && [ "$second" -eq 0 ]
