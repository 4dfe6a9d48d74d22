#!/usr/bin/env bash
# The general export path (libavformat stream copy) against `ffmpeg -c copy` on the same ~2 GB
# Matroska clip (H.264 + AAC), both writing an MP4 on the same disk and flushing it, run in turns
# in the same run. Prints the ratio of the best times (target: at most 1.20).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
RUNS=${RUNS:-3}
driver="$BUILD/bench/general_remux_driver"
[[ -x "$driver" ]] || { echo "general_remux: $driver is missing (make build)" >&2; exit 1; }

cache="$BUILD/bench-cache"
clip="$cache/general_remux_2g.mkv"
mkdir -p "$cache"
if [[ ! -f "$clip" ]]; then
    echo "general_remux: making $clip (once)"
    seed="$cache/general_remux_seed.mkv"
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=sample_rate=48000 \
        -t 10 -c:v libx264 -preset ultrafast -qp 0 -g 25 -c:a aac "$seed"
    seed_size=$(stat -c %s "$seed")
    repeats=$(( (2000 * 1000 * 1000 + seed_size - 1) / seed_size ))
    list="$cache/general_remux_list.txt"
    : > "$list"
    for ((i = 0; i < repeats; i++)); do echo "file '$(realpath "$seed")'" >> "$list"; done
    ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$list" -c copy -f matroska "$clip.part"
    mv "$clip.part" "$clip"
    rm -f "$seed" "$list"
fi

work=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$work"' EXIT
out="$work/out.mp4"

now() { date +%s.%N; }
faster() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
# Seconds of one run of the command, its output flushed to disk and removed afterwards.
timed() {
    local start end
    start=$(now)
    "$@"
    sync "$out"
    end=$(now)
    rm -f "$out"
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
ours() { "$driver" "$clip" "$out"; }
theirs() {
    ffmpeg -nostdin -v error -y -i "$clip" -map 0:v -map 0:a -c copy -map_metadata -1 \
        -metadata timecode=00:00:00:00 -movflags use_metadata_tags -fflags +bitexact -f mp4 "$out"
}

cat "$clip" > /dev/null  # warm cache for both
best_ours=""
best_theirs=""
for ((run = 0; run < RUNS; run++)); do
    t=$(timed theirs)
    if [[ -z "$best_theirs" ]] || faster "$t" "$best_theirs"; then best_theirs=$t; fi
    t=$(timed ours)
    if [[ -z "$best_ours" ]] || faster "$t" "$best_ours"; then best_ours=$t; fi
done

size_mb=$(( $(stat -c %s "$clip") / 1000000 ))
ratio=$(awk -v a="$best_ours" -v b="$best_theirs" 'BEGIN { printf "%.3f", a / b }')
printf 'general_remux: %d MB MKV -> MP4, flushed: kelvatta %.2f s, ffmpeg -c copy %.2f s, ratio %.2f x (target <= 1.20)\n' \
    "$size_mb" "$best_ours" "$best_theirs" "$ratio"
