#!/usr/bin/env bash
# Builds the updater, lays out a demo installation (an SQLite database, KLV.EXE with a version
# resource, SQL update scripts and the updater itself) and opens the window on it.
#   KLV_DEMO_DIR   where the demo installation goes (default: demo-run/ in the checkout)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target AutoUpdate

demo=${KLV_DEMO_DIR:-$root/demo-run}
install="$demo/Klv"
rm -rf "$demo"
mkdir -p "$install"

# The application's database: version 137, update level 1010, one customer.
sqlite3 "$install/klv.db" <"$root/tests/data/klv-schema.sql"
sqlite3 "$install/klv.db" <<'SQL'
insert into SYSPROPS values (136, 1008, null);
insert into SYSPROPS values (137, 1010, '2026-11-02');
insert into SYSTEMINFO values ('07', '4711');
insert into LICENSE values ('  DEMO-0001-K7Q2M9X4TB  ');
SQL
printf '[KLV_DEMO]\r\nDriver=QSQLITE\r\nDatabase=klv.db\r\n' >"$install/KlvAliases.ini"

# The main program wants database version 138.
cat >"$demo/klv.rc" <<'RC'
1 VERSIONINFO
FILEVERSION 5,2,0,1
PRODUCTVERSION 5,2,0,1
FILEFLAGSMASK 0x3f
FILEFLAGS 0
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "041304E4"
    BEGIN
      VALUE "CompanyName", "Orvant\0"
      VALUE "FileDescription", "Kelvora\0"
      VALUE "FileVersion", "5.2.0.1\0"
      VALUE "IntegerVersion", "138\0"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x413, 1252
  END
END
RC
bash "$root/tests/support/make-pe.sh" pe32 "$demo/klv.rc" "$install/KLV.EXE"
rm -f "$demo/klv.rc"

# SQL update scripts waiting beside the updater.
for n in 1009 1010 1011; do
    printf 'update SYSPROPS set IUPDATE_SPP = %s;\r\n' "$n" >"$install/u$n.sql"
done
printf 'create table DEMO138 (ID integer);\r\n' >"$install/138.SQL"

# The updater runs from the installation folder, as it does on the target systems.
cp build-demo/src/app/AutoUpdate "$install/"

echo "Demo installation: $install"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" = "" ]; then
    echo "No display found. Run the demo in a virtual display:"
    echo "    xvfb-run -a bash scripts/demo.sh"
    echo "or start the window without a screen (it then waits invisibly until killed):"
    echo "    cd \"$install\" && QT_QPA_PLATFORM=offscreen KLV_INSTALL_DIR=\"$install\" ./AutoUpdate 0 0 KLV_DEMO"
    exit 0
fi
cd "$install"
KLV_INSTALL_DIR="$install" ./AutoUpdate 0 0 KLV_DEMO
