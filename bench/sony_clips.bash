# Sourced by the benchmarks of Sony-style clips (bench/in_place.sh, bench/every_frame.sh,
# bench/replace.sh): the clips, made once into $BUILD/bench-cache from the clip bench/export.sh makes,
# the disk's rate of random 4 KiB reads of a clip, a clip's pages dropped from the cache, and timing.
BUILD=${BUILD:-build}
KELVATTA=$BUILD/src/app/kelvatta
MAKER=$BUILD/tests/make_sony_clip
CACHE=$BUILD/bench-cache
PLAIN=$CACHE/C0001.MP4
[[ -x $KELVATTA && -x $MAKER ]] || { echo "missing $KELVATTA or $MAKER (make build first)" >&2; exit 1; }
[[ -s $PLAIN ]] || { echo "missing $PLAIN (bench/export.sh makes it)" >&2; exit 1; }

# sony <name> <loops> <rtmd sample size>: a Sony-style clip of loops × the plain clip, made once.
sony() {
    local dir=$CACHE/in-place-$1 loops=$2 size=$3
    if [[ ! -s $dir/C0001.MP4 ]]; then
        mkdir -p "$dir"
        local source=$PLAIN
        if ((loops > 1)); then
            source=$dir/plain.mov
            ffmpeg -nostdin -v error -y -stream_loop $((loops - 1)) -i "$PLAIN" -map 0 -c copy -f mov "$source"
        fi
        "$MAKER" "$source" "$dir/C0001.MP4.part" 10:00:00:00 30 half "$size" >&2
        mv "$dir/C0001.MP4.part" "$dir/C0001.MP4"
        [[ $source == "$PLAIN" ]] || rm -f "$source"
    fi
    echo "$dir/C0001.MP4"
}
# room <name> <loops>: whether the disk has room to make that clip (its source and itself), or it is made.
room() {
    [[ -s $CACHE/in-place-$1/C0001.MP4 ]] ||
        (($(df -B1 --output=avail "$CACHE" | tail -1) > 2 * $2 * $(stat -c %s "$PLAIN") + (4 << 30)))
}

# frames <clip>: its rtmd frames, as --show counts them; nothing without an rtmd track.
frames() { "$KELVATTA" --show "$1" | sed -n 's/.*“rtmd”.*（共 \([0-9]*\) 帧.*/\1/p' | head -1; }
# iops <clip>: random 4 KiB reads of the clip a second, 64 in flight, bypassing the cache (fio).
iops() {
    fio --name=floor --filename="$1" --readonly --rw=randread --bs=4k --iodepth=64 --ioengine=libaio \
        --direct=1 --runtime=10 --time_based --output-format=terse --terse-version=3 | awk -F';' '{ print $8 }'
}
# cold <clip>: its pages dropped from the cache (written back first).
cold() {
    python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.fsync(fd)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}
# seconds <command...>: its wall time; a command that fails stops the benchmark.
seconds() {
    local TIMEFORMAT=%R
    { time "$@" >/dev/null 2>&1; } 2>&1 || { echo "failed: $*" >&2; exit 1; }
}
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
verdict() { if [[ $(echo "$1" | bc -l) == 1 ]]; then echo "met"; else echo "MISSED"; fi; }
# over <label> <seconds> <I/Os a frame> <frames> <iops>: a cold time over its floor, as a line.
over() {
    local floor ratio
    floor=$(echo "scale=3; $3 * $4 / $5" | bc -l)
    ratio=$(echo "scale=2; $2 / $floor" | bc -l | sed 's/^\./0./')
    printf '  %-17s %7.3f s  over the floor of %.3f s (fio: %d random 4 KiB I/O a frame, depth 64): %s (target ≤ 1.2: %s)\n' \
        "$1" "$2" "$floor" "$3" "$ratio" "$(verdict "$2 <= 1.2 * $floor")"
}
