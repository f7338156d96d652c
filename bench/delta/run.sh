#!/usr/bin/env bash
# Patches of delta updates beside bsdiff/bspatch on real program files: sizes, the time to make
# and to apply them, and the peak memory of applying, all measured in this run.
#
#   bash bench/delta/run.sh [--prepare]      (--prepare: only build the program pairs)
#
# The pairs are built once into the work folder (KLV_DELTA_WORK, default build-delta-work in the
# checkout) and reused by later runs:
#   a. the Linux AutoUpdate of two commits (KLV_DELTA_OLD, default HEAD~8, and KLV_DELTA_NEW, HEAD)
#   b. the same two commits' AutoUpdate.exe, when the Windows libraries' cache exists
#      (KLV_DELTA_WINDOWS_OLD=0 builds only the new one)
#   c. the new commit's AutoUpdate.exe with version resource 136.46.0.0 and with 136.46.0.1
#   d. 200 MiB of shared libraries, and the same with 320 KiB overwritten or inserted in 8 places
# bench_delta is taken from build-bench (BENCH_DELTA overrides): build it with -DKLV_BENCH=ON.
set -euo pipefail
renice -n 19 -p $$ >/dev/null # builds and measurements leave the machine to others first

here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
work=${KLV_DELTA_WORK:-$repo/build-delta-work}
bench=${BENCH_DELTA:-$repo/build-bench/bench/delta/bench_delta}
old=$(git -C "$repo" rev-parse --short "${KLV_DELTA_OLD:-HEAD~8}")
new=$(git -C "$repo" rev-parse --short "${KLV_DELTA_NEW:-HEAD}")
wincache=${KLV_WINDOWS_CACHE:-/var/cache/klv-windows}
runs=3
levels=(3 9 15 19 22)
big=$((200 * 1024 * 1024))
# bsdiff is left out of a pair where it needs more memory or time than these.
bsdiff_limit_kib=$((3 * 1024 * 1024))
bsdiff_limit_s=300

mkdir -p "$work/bin" "$work/logs" "$work/out"
[ -x /usr/bin/time ] || {
    echo "GNU time is missing: apt-get install time" >&2
    exit 1
}
command -v bsdiff >/dev/null && command -v bspatch >/dev/null || {
    echo "bsdiff and bspatch are missing: apt-get install bsdiff" >&2
    exit 1
}

# ---- the program pairs ----------------------------------------------------------------------

windows=false
[ -d "$wincache/prefix" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null && windows=true

source_of() {
    local dir=$work/src/$1
    [ -d "$dir" ] || git -C "$repo" worktree add --detach "$dir" "$1" >>"$work/logs/worktrees.log" 2>&1
    echo "$dir"
}

# Runs a build step with its output in a log, the log's end shown when it fails.
logged() {
    local log=$1
    shift
    if ! nice -n 19 "$@" >>"$log" 2>&1; then
        echo "Failed: $*" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
}

build_linux() {
    local out=$work/bin/AutoUpdate-linux-$1
    [ -x "$out" ] && return
    local src dir=$work/linux-$1 log=$work/logs/linux-$1.log start=$SECONDS
    src=$(source_of "$1")
    echo "Building the Linux AutoUpdate of $1 (log: $log)"
    logged "$log" cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKLV_BUILD_TESTS=OFF
    logged "$log" cmake --build "$dir" --target AutoUpdate -j1
    cp "$dir/src/app/AutoUpdate" "$out"
    echo $((SECONDS - start)) >"$out.seconds"
}

# The arguments of scripts/build-windows.sh, without the tests; only the program is built. The
# versions of one commit share a build folder: a second version compiles its resource and links.
build_windows() {
    local out=$work/bin/AutoUpdate-win-$1-$2.exe
    [ -f "$out" ] && return
    local src dir=$work/win-$1 log=$work/logs/win-$1-$2.log start=$SECONDS
    src=$(source_of "$1")
    echo "Building the Windows AutoUpdate.exe of $1, version $2 (log: $log)"
    KLV_WINDOWS_CACHE=$wincache logged "$log" cmake -S "$src" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$wincache/prefix" -DKLV_WERROR=ON -DKLV_VERSION="$2" -DKLV_BUILD_TESTS=OFF
    KLV_WINDOWS_CACHE=$wincache logged "$log" cmake --build "$dir" --target AutoUpdate -j1
    cp "$dir/src/app/AutoUpdate.exe" "$out"
    echo $((SECONDS - start)) >"$out.seconds"
}

# Real machine code: the shared libraries in name order, cut at 200 MiB. The target has 40 KiB of
# random bytes written over the base at four places and inserted at four others.
build_big() {
    [ -f "$work/bin/big-target" ] && return
    echo "Making the 200 MiB pair"
    (
        set +o pipefail # cat ends on a closed pipe once head has its 200 MiB
        find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f \( -name '*.so' -o -name '*.so.*' \) -print0 |
            LC_ALL=C sort -z | xargs -0 cat 2>/dev/null | head -c "$big" >"$work/bin/big-base"
    )
    [ "$(stat -c %s "$work/bin/big-base")" -eq "$big" ] || {
        echo "Less than 200 MiB of shared libraries" >&2
        exit 1
    }
    python3 - "$work/bin/big-base" "$work/bin/big-target.tmp" <<'EOF'
import random, sys
data = bytearray(open(sys.argv[1], 'rb').read())
rng = random.Random(20261210)
places = [(i + 1) * len(data) // 9 for i in range(8)]
for n, at in reversed(list(enumerate(places))):
    chunk = rng.randbytes(40 * 1024)
    if n % 2:
        data[at:at] = chunk
    else:
        data[at:at + len(chunk)] = chunk
open(sys.argv[2], 'wb').write(data)
EOF
    mv "$work/bin/big-target.tmp" "$work/bin/big-target"
}

build_linux "$old"
build_linux "$new"
if $windows; then
    [ "${KLV_DELTA_WINDOWS_OLD:-1}" = 0 ] || build_windows "$old" 136.46.0.0
    build_windows "$new" 136.46.0.0
    build_windows "$new" 136.46.0.1
fi
build_big

echo
echo "Builds (seconds, from this run or the one that made them):"
for f in linux-"$old" linux-"$new" win-"$old"-136.46.0.0.exe win-"$new"-136.46.0.0.exe win-"$new"-136.46.0.1.exe; do
    f=$work/bin/AutoUpdate-$f.seconds
    [ -f "$f" ] && printf '  %-48s %5d s\n' "$(basename "$f" .seconds)" "$(cat "$f")"
done
[ "${1:-}" = --prepare ] && exit 0

[ -x "$bench" ] || {
    echo "bench_delta not found at $bench: build it (-DKLV_BENCH=ON) or set BENCH_DELTA" >&2
    exit 1
}

# ---- measurements ---------------------------------------------------------------------------

# Runs a command once under GNU time: sets $secs (wall clock) and $rss (peak RSS in KiB); returns
# the command's exit status.
timed() {
    local t0 t1 status=0
    t0=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$work/out/time" "$@" >/dev/null || status=$?
    t1=$(date +%s%N)
    secs=$(awk -v d=$((t1 - t0)) 'BEGIN { printf "%.3f", d / 1e9 }')
    rss=$(tail -n 1 "$work/out/time")
    return $status
}

size_of() { stat -c %s "$1"; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f %%", 100 * a / b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }

verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo "NOT met"; fi; }

same_or_die() {
    cmp -s "$1" "$2" || {
        echo "$3 did not make the target" >&2
        exit 1
    }
}

# Applies ours and bspatch $runs times in turns, checking each result; sets $ours_apply,
# $bs_apply (best wall clock) and $ours_rss, $bs_rss (the highest peak RSS of the runs).
apply_both() {
    local base=$1 target=$2 ours=$3 theirs=$4 i
    ours_apply=1e9 bs_apply=1e9 ours_rss=0 bs_rss=0
    for ((i = 0; i < runs; i++)); do
        timed "$bench" apply "$base" "$ours" "$work/out/made" "$(size_of "$target")"
        same_or_die "$work/out/made" "$target" "our patch"
        at_most "$secs" "$ours_apply" && ours_apply=$secs
        [ "$rss" -gt "$ours_rss" ] && ours_rss=$rss
        [ -n "$theirs" ] || continue
        timed bspatch "$base" "$work/out/made" "$theirs"
        same_or_die "$work/out/made" "$target" "bspatch"
        at_most "$secs" "$bs_apply" && bs_apply=$secs
        [ "$rss" -gt "$bs_rss" ] && bs_rss=$rss
    done
    rm -f "$work/out/made"
}

# One pair: the whole package, our patch at the tool's level, bsdiff's; then the table.
measure_pair() {
    local name=$1 base=$2 target=$3 goals=$4
    local zlb=$work/out/$name.zlb ours=$work/out/$name.klvpatch theirs=$work/out/$name.bsdiff
    "$bench" zlb "$target" "$zlb"
    timed "$bench" make "$base" "$target" "$ours"
    local ours_make=$secs ours_make_rss=$rss
    local bs_make=- bs_make_rss=0 bs_note= status=0
    timed bash -c 'ulimit -v "$1" && exec timeout "$2" bsdiff "$3" "$4" "$5"' - "$bsdiff_limit_kib" \
        "$bsdiff_limit_s" "$base" "$target" "$theirs" 2>"$work/out/bsdiff.err" || status=$?
    if [ "$status" -eq 0 ]; then
        bs_make=$secs bs_make_rss=$rss
    else
        if [ "$status" -eq 124 ]; then
            bs_note="bsdiff left out: it did not finish within $bsdiff_limit_s s"
        else
            bs_note="bsdiff left out: it failed within $(mib "$bsdiff_limit_kib") of memory after $secs s: $(head -c 200 "$work/out/bsdiff.err")"
        fi
        rm -f "$theirs"
        theirs=
    fi
    apply_both "$base" "$target" "$ours" "$theirs"

    local z o b=
    z=$(size_of "$zlb")
    o=$(size_of "$ours")
    [ -n "$theirs" ] && b=$(size_of "$theirs")
    echo
    echo "== $name: $(size_of "$base") -> $(size_of "$target") bytes"
    printf '  %-34s %14s %14s\n' "" "ours" "bsdiff"
    printf '  %-34s %14s\n' "whole .zlb (bytes)" "$z"
    printf '  %-34s %14s %14s\n' "patch (bytes)" "$o" "${b:--}"
    printf '  %-34s %14s %14s\n' "patch / whole .zlb" "$(pct "$o" "$z")" "${b:+$(pct "$b" "$z")}"
    printf '  %-34s %14s\n' "ours / bsdiff" "${b:+$(ratio "$o" "$b")}"
    printf '  %-34s %14s %14s\n' "make (s)" "$ours_make" "$bs_make"
    printf '  %-34s %14s %14s\n' "make peak RSS" "$(mib "$ours_make_rss")" "${b:+$(mib "$bs_make_rss")}"
    printf '  %-34s %14s %14s\n' "apply, best of $runs (s)" "$ours_apply" "${b:+$bs_apply}"
    printf '  %-34s %14s %14s\n' "apply peak RSS" "$(mib "$ours_rss")" "${b:+$(mib "$bs_rss")}"
    [ -n "$bs_note" ] && echo "  $bs_note"
    if [ "$goals" = goals ] && [ -n "$b" ]; then
        echo "  goal patch <= 10 % of the .zlb:  $(verdict "$o <= 0.10 * $z")"
        echo "  goal patch <= 1.3 x bsdiff:      $(verdict "$o <= 1.3 * $b")"
        echo "  goal apply faster than bspatch:  $(verdict "$ours_apply < $bs_apply")"
    fi
    return 0
}

# Our patch at each level, and at the tool's level without long-distance matching and without
# converting references.
sweep() {
    local name=$1 base=$2 target=$3 z level args patch
    z=$(size_of "$work/out/$name.zlb")
    echo
    echo "== $name: levels (whole .zlb $z bytes)"
    printf '  %-10s %12s %9s %10s %14s %14s\n' level "patch" "of .zlb" "make (s)" "apply best (s)" "apply RSS"
    for level in "${levels[@]}" 19-no-long 19-plain; do
        args=(--level "${level%%-*}")
        [ "$level" = 19-no-long ] && args+=(--no-long)
        [ "$level" = 19-plain ] && args+=(--plain)
        patch=$work/out/$name-$level.klvpatch
        timed "$bench" make "$base" "$target" "$patch" "${args[@]}"
        local made=$secs
        apply_both "$base" "$target" "$patch" ""
        printf '  %-10s %12s %9s %10s %14s %14s\n' "$level" "$(size_of "$patch")" \
            "$(pct "$(size_of "$patch")" "$z")" "$made" "$ours_apply" "$(mib "$ours_rss")"
        rm -f "$patch"
    done
}

echo
echo "bench_delta: $bench; commits $old -> $new; apply timed $runs times, best taken"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
bin=$work/bin
measure_pair "a-linux-$old-$new" "$bin/AutoUpdate-linux-$old" "$bin/AutoUpdate-linux-$new" goals
if $windows; then
    if [ -f "$bin/AutoUpdate-win-$old-136.46.0.0.exe" ]; then
        measure_pair "b-windows-$old-$new" "$bin/AutoUpdate-win-$old-136.46.0.0.exe" \
            "$bin/AutoUpdate-win-$new-136.46.0.0.exe" goals
    else
        echo
        echo "== b: the Windows AutoUpdate.exe of $old was not built (KLV_DELTA_WINDOWS_OLD=0)"
    fi
    measure_pair "c-windows-version-only" "$bin/AutoUpdate-win-$new-136.46.0.0.exe" \
        "$bin/AutoUpdate-win-$new-136.46.0.1.exe" ""
else
    echo
    echo "== b, c: no Windows libraries at $wincache, the Windows pairs are left out"
fi
measure_pair "d-200MiB" "$bin/big-base" "$bin/big-target" ""
sweep "a-linux-$old-$new" "$bin/AutoUpdate-linux-$old" "$bin/AutoUpdate-linux-$new"
if $windows && [ -f "$bin/AutoUpdate-win-$old-136.46.0.0.exe" ]; then
    sweep "b-windows-$old-$new" "$bin/AutoUpdate-win-$old-136.46.0.0.exe" "$bin/AutoUpdate-win-$new-136.46.0.0.exe"
fi
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
