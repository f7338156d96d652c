#!/usr/bin/env bash
# Pictures of the window in the states a person meets, on an Xvfb screen: the Linux program, or
# the Windows build under Wine. Each state is reached the way a person reaches it, with the
# keyboard (xdotool), against a small update server of its own (tests/support/shot-server.py) that
# answers as the state needs: a list and a slow package, 401, 404, 500, or nothing at all.
#   screenshots.sh linux|windows 1|2 OUTDIR
# Scale 2 is a 1280 x 800 screen at 200 %; scale 1 a 1024 x 768 screen at 100 %.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
platform=${1:?linux or windows}
scale=${2:?1 or 2}
out=$(realpath -m "${3:?output folder}")
mkdir -p "$out"
# The screen, the keyboard and the camera, from Debian when missing.
missing=()
for pair in Xvfb:xvfb xdotool:xdotool xwd:x11-apps xwininfo:x11-utils sqlite3:sqlite3; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y "${missing[@]}"
fi
work=$(mktemp -d /tmp/klv-shots.XXXXXX)
display=:78
while [ -e /tmp/.X${display#:}-lock ]; do display=:$((${display#:} + 1)); done # a screen of its own
port=18790
cleanup() {
    pkill -f "shot-server.py $port" 2>/dev/null || true
    if [ "$platform" = windows ]; then WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; fi
    kill "${xvfb:-}" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM # the cleanup runs also when the script is stopped

if [ "$scale" = 2 ]; then screen=1280x800x24; else screen=1024x768x24; fi
Xvfb $display -screen 0 $screen >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
sleep 1

# The installation: database 137/1010, KLV.EXE asking for 138 (so "Update" has work), script 138.
install=$work/Klv
mkdir -p "$install"
sqlite3 "$install/klv.db" <tests/data/klv-schema.sql
sqlite3 "$install/klv.db" "insert into SYSPROPS (VERSIENUMMER, IUPDATE_SPP, DAUTOUPDATE_SPP, LASTSYSKEY) values (137, 1010, '2026-11-02', '00000100');
insert into SYSTEMINFO values ('07', '4711'); insert into LICENSE values ('LICENTIEK7Q2M9X4TB');"
printf '[KLV_DEMO]\r\nDriver=QSQLITE\r\nDatabase=klv.db\r\n' >"$install/KlvAliases.ini"
printf 'create table DEMO138 (X integer)\r\n;\r\ninsert into DEMO138 values (1)\r\n;\r\n' >"$install/138.SQL"
cat >"$work/v.rc" <<'RC'
1 VERSIONINFO
FILEVERSION 5,2,0,1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "041304E4"
    BEGIN
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
bash tests/support/make-pe.sh pe32 "$work/v.rc" "$install/KLV.EXE"
cp -a "$install" "$work/pristine"

if [ "$platform" = windows ]; then
    # A prefix of its own, so that the tests' prefix keeps its settings; 200 % as Windows sets it.
    export WINEPREFIX=$work/prefix WINEDEBUG=-all
    wineboot --init >/dev/null 2>&1 || true
    dpi=$((96 * scale))
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Fonts' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
    cp "${KLV_WINDOWS_BUILD_DIR:-build-windows}/src/app/AutoUpdate.exe" "$install/"
else
    cp "${KLV_LINUX_BUILD_DIR:-build-test}/src/app/AutoUpdate" "$install/"
fi
cp "$install"/AutoUpdate* "$work/pristine/"

server() { # server MODE: the update server answers as MODE says
    pkill -f "shot-server.py $port" 2>/dev/null || true
    python3 tests/support/shot-server.py $port "$1" &
    sleep 0.5
}

start() { # start SERVER-URL [ALIAS]: a fresh installation, the updater on it, its window found
    rm -rf "$install"
    cp -a "$work/pristine" "$install"
    if [ "$platform" = windows ]; then
        (cd "$install" && KLV_INSTALL_DIR="Z:${install//\//\\}\\" KLV_UPDATE_SERVER="$1" \
            wine AutoUpdate.exe 0 0 "${2:-KLV_DEMO}" --no-restart -platform windows >/dev/null 2>&1 &)
    else
        (cd "$install" && KLV_INSTALL_DIR="$install/" KLV_UPDATE_SERVER="$1" QT_SCALE_FACTOR=$scale \
            ASAN_OPTIONS=detect_leaks=0 ./AutoUpdate 0 0 "${2:-KLV_DEMO}" --no-restart >/dev/null 2>&1 &)
    fi
    sleep "${KLV_SHOT_START:-6}"
}

focused() { xdotool search --sync --onlyvisible --name "${1:-.}" 2>/dev/null | tail -1; }
key() { # key NAME: pressed in the window on top
    local w
    w=$(xdotool getactivewindow 2>/dev/null || focused)
    xdotool windowfocus --sync "$w" 2>/dev/null || true
    xdotool key --clearmodifiers "$1"
    sleep "${2:-2}"
}

shot() { # shot NAME: the whole screen, each window as it draws itself
    sleep 1
    xwd -root -display $display -out "$work/root.xwd"
    local dumps=() id n=0
    # The windows that show, the main window first and the boxes over it.
    for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
        local info x y
        info=$(xwininfo -id "$id")
        grep -q 'Map State: IsViewable' <<<"$info" || continue
        x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
        y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
        n=$((n + 1))
        xwd -id "$id" -display $display -out "$work/w$n.xwd" 2>/dev/null && dumps+=("$x,$y,$work/w$n.xwd")
    done
    python3 tests/support/xwd-to-png.py "$out/$platform-$((scale * 100))-$1.png" "$work/root.xwd" "${dumps[@]}" --blank
}

stop() {
    if [ "$platform" = windows ]; then wineserver -k 2>/dev/null || true; else pkill -f "$install/AutoUpdate|./AutoUpdate 0 0" 2>/dev/null || true; fi
    sleep 1
}

base=http://127.0.0.1:$port

# The start, and a transfer under way (a package that arrives slowly).
server slow
start $base
shot start
key Return 4
shot transfer
stop

# The server's failures: the retry question where it may help, then the explanation.
for mode in refused unknown 401 404 500; do
    url=$base
    [ $mode = refused ] && url=http://127.0.0.1:9
    [ $mode = unknown ] && url=http://klv-update.invalid
    [ $mode = refused ] || [ $mode = unknown ] || server $mode
    start $url
    key Return 4
    shot "error-$mode-1"
    key Return 3
    shot "error-$mode-2"
    stop
done

# A database that does not open: the alias named does not exist and neither does the default.
start $base NOPE
shot database-1
key Return 2
shot database-2
stop

# The "Update" page: the backup question, then the end of a conversion.
server 404
start $base
key ctrl+Tab 2
key Return 3
shot backup-question
key Tab 1
key space 6
shot conversion-done
stop
echo "$out"
