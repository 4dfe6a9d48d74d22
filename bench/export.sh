#!/usr/bin/env bash
# Benchmark of the export's box path on a ~2 GB clip (made once with ffmpeg into $BUILD/bench-cache):
#   - flushed export over `cp` then `sync` of the same file            target ≤ 1.10
#   - `ffmpeg -c copy` remux over the export, neither flushed         target ≥ 2
#   - the export's peak memory (/usr/bin/time -v)                     target < 64 MiB
#   - on a loop-mounted XFS image with reflink (root only): the export's time and the new disk
#     blocks it used                                                   targets < 50 ms, < 1 MiB
# Each pair is measured side by side in this run, three times, and the medians are compared.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
DRIVER=$BUILD/bench/kelvatta_export_driver
CACHE=$BUILD/bench-cache
CLIP=$CACHE/C0001.MP4
WORK=$CACHE/work
ROUNDS=${ROUNDS:-3}

[[ -x $DRIVER ]] || { echo "missing $DRIVER (make build first)" >&2; exit 1; }
mkdir -p "$CACHE" "$WORK"

if [[ ! -s $CLIP ]]; then
    echo "Making the 2 GB clip once (H.264 lossless noise + PCM audio, about a minute)..."
    ffmpeg -nostdin -v error -y \
        -f lavfi -i "testsrc2=s=1280x720:r=30000/1001:d=35,noise=alls=100:allf=t" \
        -f lavfi -i "sine=f=440:r=48000:d=35" \
        -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -c:a pcm_s16be \
        -f mov -brand XAVC "$CLIP.part"
    mv "$CLIP.part" "$CLIP"
fi
SIZE=$(stat -c %s "$CLIP")
printf 'Clip: %s (%.2f GB)\n' "$CLIP" "$(echo "$SIZE / 1000000000" | bc -l)"
cat "$CLIP" > /dev/null  # warm cache

now_ns() { date +%s%N; }
# seconds <command...>: runs it and prints its wall time in seconds.
seconds() {
    local t0 t1
    t0=$(now_ns)
    "$@" > /dev/null
    t1=$(now_ns)
    echo "scale=4; ($t1 - $t0) / 1000000000" | bc -l
}
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }
verdict() { if [[ $(echo "$1" | bc -l) == 1 ]]; then echo "met"; else echo "MISSED"; fi; }
clean() { rm -f "$WORK"/*; sync; }

cp_sync() { cp "$CLIP" "$WORK/cp.MP4" && sync; }
export_flushed() { "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4"; }
export_unflushed() { "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4" --no-flush; }
ffmpeg_copy() { ffmpeg -nostdin -v error -y -i "$CLIP" -map 0 -c copy -f mov "$WORK/ffmpeg.MOV"; }

declare -a CP=() KF=() KU=() FF=()
for ((i = 1; i <= ROUNDS; i++)); do
    clean; CP+=("$(seconds cp_sync)")
    clean; KF+=("$(seconds export_flushed)")
    clean; FF+=("$(seconds ffmpeg_copy)")
    clean; KU+=("$(seconds export_unflushed)")
done
clean
cp_t=$(median "${CP[@]}"); kf_t=$(median "${KF[@]}"); ku_t=$(median "${KU[@]}"); ff_t=$(median "${FF[@]}")
r1=$(ratio "$kf_t" "$cp_t")
r2=$(ratio "$ff_t" "$ku_t")
echo "cp + sync:                 ${cp_t} s   (runs: ${CP[*]})"
echo "Kelvatta export, flushed:  ${kf_t} s   (runs: ${KF[*]})"
echo "ffmpeg -c copy, unflushed: ${ff_t} s   (runs: ${FF[*]})"
echo "Kelvatta export, unflushed:${ku_t} s   (runs: ${KU[*]})"
echo "Ratio export (flushed) / cp+sync: ${r1}  (target <= 1.10: $(verdict "$r1 <= 1.10"))"
echo "Ratio ffmpeg / export (unflushed): ${r2}  (target >= 2: $(verdict "$r2 >= 2"))"

peak_kb=$(/usr/bin/time -v "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4" 2>&1 >/dev/null |
          awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
clean
echo "Peak memory of the export: $((peak_kb / 1024)) MiB (${peak_kb} KiB; target < 64 MiB: $(verdict "$peak_kb < 65536"))"

# XFS with reflink on a loop-mounted image.
xfs() {
    if [[ $(id -u) != 0 ]]; then echo "XFS: skipped (needs root)"; return; fi
    local img=$CACHE/xfs.img mnt=$CACHE/xfs-mnt
    mkdir -p "$mnt"
    rm -f "$img"
    truncate -s $((SIZE / 1000000000 * 1024 + 2048))M "$img"
    if ! mkfs.xfs -q -m reflink=1 "$img" 2>/dev/null || ! mount -o loop "$img" "$mnt" 2>/dev/null; then
        echo "XFS: skipped (cannot make or mount a loop XFS image here)"
        rm -f "$img"
        return
    fi
    trap 'umount "$mnt" 2>/dev/null || umount -l "$mnt"; rm -f "$img"' RETURN
    cp "$CLIP" "$mnt/C0001.MP4"
    sync
    local before after t ms used_kib
    before=$(df -B1 --output=used "$mnt" | tail -1)
    t=$(seconds "$DRIVER" "$mnt/C0001.MP4" "$mnt/temp_C0001.MP4")
    sync
    after=$(df -B1 --output=used "$mnt" | tail -1)
    ms=$(echo "$t * 1000 / 1" | bc)
    used_kib=$(((after - before) / 1024))
    echo "XFS reflink: export in ${ms} ms (target < 50 ms: $(verdict "$ms < 50")), new blocks ${used_kib} KiB (target < 1024 KiB: $(verdict "$used_kib < 1024"))"
}
xfs
