#!/usr/bin/env bash
# Benchmark of what reads every frame's timecode, a page a frame scattered over the clip, with a cold
# cache, on the Sony-style clips of ~2 GB and ~20 GB that bench/in_place.sh uses (the 20 GB one only
# where the disk has room to make it):
#   - `kelvatta --show CLIP`                                                target ≤ 1.2 × the floor
#   - a rerun over the clip done: `kelvatta CLIP` after --in-place, which   target ≤ 1.2 × the floor
#     checks every frame's timecode, finds the clip at its start and skips it
# The floor is one random 4 KiB read per frame at the rate fio reads random 4 KiB blocks of the same
# clip at queue depth 64, measured in this run. Cold: the clip's pages are dropped from the cache.
# Between rounds the clip is given back with --restore.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/sony_clips.bash
ROUNDS=${ROUNDS:-3}
BIG_ROUNDS=${BIG_ROUNDS:-1}

# bench <label> <clip> <rounds>
bench() {
    local label=$1 clip=$2 rounds=$3 frames before i iops
    local -a show_t=() rerun_t=()
    frames=$(frames "$clip")
    for ((i = 1; i <= rounds; i++)); do
        sync
        cold "$clip"
        show_t+=("$(seconds "$KELVATTA" --show "$clip")")
        "$KELVATTA" --in-place "$clip" >/dev/null
        cold "$clip"
        before=$(stat -c '%i %s %Y %Z' "$clip")
        rerun_t+=("$(seconds "$KELVATTA" "$clip")")
        [[ $(stat -c '%i %s %Y %Z' "$clip") == "$before" ]] || { echo "the rerun changed the clip" >&2; exit 1; }
        "$KELVATTA" --restore "$clip" >/dev/null
    done
    printf '%s (%.2f GB, %d frames), %d round(s), medians:\n' "$label" \
        "$(echo "$(stat -c %s "$clip") / 1000000000" | bc -l)" "$frames" "$rounds"
    iops=$(iops "$clip")
    over "--show, cold" "$(median "${show_t[@]}")" 1 "$frames" "$iops"
    over "rerun, cold" "$(median "${rerun_t[@]}")" 1 "$frames" "$iops"
}

echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores, shared); $(df --output=fstype "$CACHE" | tail -1)"
# What every run costs before it reads a clip (the dynamic loader mapping libavformat and the libraries
# it brings): part of each time below, not of its floor.
starts=()
for ((i = 1; i <= 5; i++)); do starts+=("$(seconds "$KELVATTA" --help)"); done
echo "The program's start (kelvatta --help), median of 5: $(median "${starts[@]}") s"
bench "2 GB Sony-style clip, rtmd samples of 11,264 bytes" "$(sony 2g 1 11264)" "$ROUNDS"
if room 20g 10; then
    bench "20 GB Sony-style clip, rtmd samples of 11,264 bytes" "$(sony 20g 10 11264)" "$BIG_ROUNDS"
else
    echo "20 GB Sony-style clip: not measured (no room on the disk to make it)"
fi
