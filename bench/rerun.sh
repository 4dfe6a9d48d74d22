#!/usr/bin/env bash
# Benchmark of a second run over a clip the first run rewrote: a Sony-style clip of ~1 GiB (made once
# into $BUILD/bench-cache), replaced with --timecode 01:00:00:00, then replaced again with the same
# start, which finds every place at that start and writes nothing:
#   - the second run's time against the first's                 target: at least 10 × faster
#   - the clip after the second run, against after the first    target: the same bytes and times
# and the same in save-as mode, where the second run finds the first's copy, proves it the clip's result
# (its head, every block holding a re-based timecode, a sample of each track's chunks) and keeps it:
#   - the second run's time against the first's, warm and (as root) with the page cache dropped
#   - the copy after the second run, against after the first    target: the same bytes and times
# Each round starts from a fresh copy of the clip (not timed).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
KELVATTA=$BUILD/src/app/kelvatta
MAKER=$BUILD/tests/make_sony_clip
CACHE=$BUILD/bench-cache
ROUNDS=${ROUNDS:-3}
[[ -x $KELVATTA && -x $MAKER ]] || { echo "missing $KELVATTA or $MAKER (make build first)" >&2; exit 1; }

clip=$CACHE/rerun/C0001.MP4
if [[ ! -s $clip ]]; then
    mkdir -p "$CACHE/rerun"
    # Noise does not compress: 1 GiB at 25p is about 85 seconds at 100 Mbit/s.
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=25,noise=alls=60:allf=t" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 85 -c:v libx264 -preset ultrafast -b:v 100M \
        -maxrate 100M -bufsize 20M -pix_fmt yuv420p -c:a pcm_s16be -f mov "$CACHE/rerun/plain.mov"
    "$MAKER" "$CACHE/rerun/plain.mov" "$clip.part" 10:00:00:00 25 ndf >&2
    mv "$clip.part" "$clip"
    rm -f "$CACHE/rerun/plain.mov"
fi

seconds() { local TIMEFORMAT=%R; { time "$@" >/dev/null 2>&1; } 2>&1; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

work=$CACHE/rerun-work
firsts=() seconds_=()
for ((i = 1; i <= ROUNDS; i++)); do
    rm -rf "$work" && mkdir -p "$work" && cp "$clip" "$work/C0001.MP4" && sync
    firsts+=("$(seconds "$KELVATTA" --timecode 01:00:00:00 "$work/C0001.MP4")")
    before=$(md5sum "$work/C0001.MP4" | cut -d' ' -f1) times=$(stat -c '%i %Y.%y' "$work/C0001.MP4")
    seconds_+=("$(seconds "$KELVATTA" --timecode 01:00:00:00 "$work/C0001.MP4")")
    [[ $(md5sum "$work/C0001.MP4" | cut -d' ' -f1) == "$before" && $(stat -c '%i %Y.%y' "$work/C0001.MP4") == "$times" ]] ||
        { echo "the second run changed the clip" >&2; exit 1; }
done
first=$(median "${firsts[@]}") second=$(median "${seconds_[@]}")
ratio=$(echo "scale=1; $first / $second" | bc -l)
echo "rerun of a $(($(stat -c %s "$clip") >> 20)) MiB clip, replace mode, medians of $ROUNDS: first ${first} s," \
    "second ${second} s: ${ratio} × faster (target ≥ 10), no byte or time changed"

copy=$work/已修改时间码/C0001.MP4
firsts=() seconds_=() colds=()
for ((i = 1; i <= ROUNDS; i++)); do
    rm -rf "$work" && mkdir -p "$work" && cp -p "$clip" "$work/C0001.MP4" && sync
    firsts+=("$(seconds "$KELVATTA" --save-as --timecode 01:00:00:00 "$work/C0001.MP4")")
    before=$(md5sum "$copy" | cut -d' ' -f1) times=$(stat -c '%i %Y.%y' "$copy")
    seconds_+=("$(seconds "$KELVATTA" --save-as --timecode 01:00:00:00 "$work/C0001.MP4")")
    if [[ $(id -u) == 0 ]]; then
        sync && echo 3 > /proc/sys/vm/drop_caches
        colds+=("$(seconds "$KELVATTA" --save-as --timecode 01:00:00:00 "$work/C0001.MP4")")
    fi
    [[ $(md5sum "$copy" | cut -d' ' -f1) == "$before" && $(stat -c '%i %Y.%y' "$copy") == "$times" ]] ||
        { echo "the second save-as run changed the copy" >&2; exit 1; }
done
rm -rf "$work"
first=$(median "${firsts[@]}") second=$(median "${seconds_[@]}")
cold=${colds[*]:+, cold cache $(median "${colds[@]}") s}
echo "rerun in save-as mode, medians of $ROUNDS: first ${first} s, second (the copy proved and kept)" \
    "${second} s$cold: $(echo "scale=1; $first / $second" | bc -l) × faster, the copy unchanged"
