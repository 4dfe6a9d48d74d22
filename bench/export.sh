#!/usr/bin/env bash
# Benchmark of the export's box path on a ~2 GB clip (made once with ffmpeg into $BUILD/bench-cache):
#   - flushed export over `cp` then `sync` of the same file            target ≤ 1.10
#   - `ffmpeg -c copy` remux over the export, neither flushed         target ≥ 2
#   - the export's peak memory (/usr/bin/time -v)                     target < 64 MiB
#   - on a loop-mounted XFS image with reflink (root only): the export's time and the new disk
#     blocks it used, for the clip and for a Sony-style copy whose rtmd timecodes are re-based
#                                                                      targets < 50 ms, < 1 % of the clip
# Each pair is measured side by side in this run, ROUNDS (5) times, and the medians are compared.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
DRIVER=$BUILD/bench/kelvatta_export_driver
CACHE=$BUILD/bench-cache
CLIP=$CACHE/C0001.MP4
WORK=$CACHE/work
ROUNDS=${ROUNDS:-5}

[[ -x $DRIVER ]] || { echo "missing $DRIVER (make build first)" >&2; exit 1; }
mkdir -p "$CACHE" "$WORK"

if [[ ! -s $CLIP ]]; then
    # Packets like a Sony XAVC S clip's: about 85 Mbit/s of video at 59.94 frames per second
    # (12,000 frames of ~170 KB) and 16-bit stereo PCM. Noise, so the frames do not compress.
    echo "Making the 2 GB clip once (H.264 + PCM audio, under a minute)..."
    ffmpeg -nostdin -v error -y \
        -f lavfi -i "testsrc2=s=320x240:r=60000/1001:d=205,noise=alls=100:allf=t" \
        -f lavfi -i "sine=f=440:r=48000:d=205" -ac 2 \
        -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -c:a pcm_s16be \
        -f mov -brand XAVC "$CLIP.part"
    mv "$CLIP.part" "$CLIP"
fi
SIZE=$(stat -c %s "$CLIP")
printf 'Clip: %s (%.2f GB)\n' "$CLIP" "$(echo "$SIZE / 1000000000" | bc -l)"
cat "$CLIP" > /dev/null  # warm cache

# measure <command...>: runs it and prints "wall cpu" in seconds (cpu: user + system of the command
# and its children; the flushing that `sync` triggers runs in kernel threads and is not in it).
measure() {
    local TIMEFORMAT='%R %U %S' out
    out=$({ time "$@" > /dev/null 2>&1; } 2>&1)
    read -r wall user sys <<< "$out"
    echo "$wall $(echo "$user + $sys" | bc -l | sed 's/^\./0./')"
}
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }
verdict() { if [[ $(echo "$1" | bc -l) == 1 ]]; then echo "met"; else echo "MISSED"; fi; }
clean() { rm -f "$WORK"/*; sync; }

cp_sync() { cp "$CLIP" "$WORK/cp.MP4" && sync; }
export_flushed() { "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4"; }
export_unflushed() { "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4" --no-flush; }
ffmpeg_copy() { ffmpeg -nostdin -v error -y -i "$CLIP" -map 0 -c copy -f mov "$WORK/ffmpeg.MOV"; }
# The same layout as the export's output (moov before the data) takes ffmpeg a second pass.
ffmpeg_faststart() { ffmpeg -nostdin -v error -y -i "$CLIP" -map 0 -c copy -movflags +faststart -f mov "$WORK/ffmpeg.MOV"; }

# pair <name> <A> <B>: ROUNDS rounds of A and B back to back (order alternating, each from a clean,
# synced state); prints the medians and the median of the per-round ratios B/A, of wall time and,
# for commands that do not flush, of CPU time too. The machine is shared: pairing each round keeps
# slow spells from landing on one side only, and CPU time hardly depends on the load.
pair() {
    local name=$1 a=$2 b=$3 i ma mb wa ca wb cb
    local -a was=() wbs=() rs=() crs=()
    for ((i = 1; i <= ROUNDS; i++)); do
        if ((i % 2)); then
            clean; ma=$(measure "$a"); clean; mb=$(measure "$b")
        else
            clean; mb=$(measure "$b"); clean; ma=$(measure "$a")
        fi
        read -r wa ca <<< "$ma"
        read -r wb cb <<< "$mb"
        was+=("$wa"); wbs+=("$wb"); rs+=("$(ratio "$wb" "$wa")"); crs+=("$(ratio "$cb" "$ca")")
    done
    clean
    printf '%-18s wall %s s  (runs: %s)\n' "$a:" "$(median "${was[@]}")" "${was[*]}"
    printf '%-18s wall %s s  (runs: %s)\n' "$b:" "$(median "${wbs[@]}")" "${wbs[*]}"
    PAIR_RATIO=$(median "${rs[@]}")
    PAIR_CPU_RATIO=$(median "${crs[@]}")
    echo "$name: wall-time ratio ${PAIR_RATIO} (per round: ${rs[*]})"
}

echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores, shared)"
pair "export (flushed) / cp+sync" cp_sync export_flushed
echo "  target <= 1.10: $(verdict "$PAIR_RATIO <= 1.10")"
pair "ffmpeg -c copy / export (unflushed)" export_unflushed ffmpeg_copy
echo "  target >= 2: $(verdict "$PAIR_RATIO >= 2"); CPU-time ratio ${PAIR_CPU_RATIO}"
pair "ffmpeg faststart / export (unflushed)" export_unflushed ffmpeg_faststart
echo "  (same layout as the export's output: moov first) target >= 2: $(verdict "$PAIR_RATIO >= 2"); CPU-time ratio ${PAIR_CPU_RATIO}"

peak_kb=$(/usr/bin/time -v "$DRIVER" "$CLIP" "$WORK/temp_C0001.MP4" 2>&1 >/dev/null |
          awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
clean
echo "Peak memory of the export: $((peak_kb / 1024)) MiB (${peak_kb} KiB; target < 64 MiB: $(verdict "$peak_kb < 65536"))"

# A Sony-style copy of the clip (made once): rtmd samples of 11,264 bytes as an ILME-FX3 writes them,
# one per frame, and the camera's XML, all counting from 10:00:00:00. The export re-bases every rtmd
# sample's timecode, which unshares the block holding it.
SONY=$CACHE/sony/C0001.MP4
if [[ ! -s $SONY ]]; then
    echo "Making the Sony-style copy once..."
    mkdir -p "$CACHE/sony"
    "$BUILD/tests/make_sony_clip" "$CLIP" "$SONY.part" 10:00:00:00 30 half 11264
    mv "$SONY.part" "$SONY"
fi

# XFS with reflink on a loop-mounted image: xfs <label> <clip>.
xfs() {
    local label=$1 clip=$2
    if [[ $(id -u) != 0 ]]; then echo "XFS: skipped (needs root)"; return; fi
    local img=$CACHE/xfs.img mnt=$CACHE/xfs-mnt size
    size=$(stat -c %s "$clip")
    mkdir -p "$mnt"
    rm -f "$img"
    truncate -s $((size / 1000000000 * 1024 + 2048))M "$img"
    if ! mkfs.xfs -q -m reflink=1 "$img" 2>/dev/null || ! mount -o loop "$img" "$mnt" 2>/dev/null; then
        echo "XFS: skipped (cannot make or mount a loop XFS image here)"
        rm -f "$img"
        return
    fi
    trap 'umount "$mnt" 2>/dev/null || umount -l "$mnt"; rm -f "$img"' RETURN
    cp "$clip" "$mnt/C0001.MP4"
    sync
    local before after t ms used_kib
    before=$(df -B1 --output=used "$mnt" | tail -1)
    t=$(measure "$DRIVER" "$mnt/C0001.MP4" "$mnt/temp_C0001.MP4" | cut -d' ' -f1)
    sync
    after=$(df -B1 --output=used "$mnt" | tail -1)
    ms=$(echo "$t * 1000 / 1" | bc)
    used_kib=$(((after - before) / 1024))
    XFS_KIB=$used_kib
    echo "XFS reflink, $label: export in ${ms} ms (target < 50 ms: $(verdict "$ms < 50")), new blocks ${used_kib} KiB" \
        "($(echo "scale=3; 100 * $used_kib * 1024 / $size" | bc -l | sed 's/^\./0./') % of the clip; target < 1 %:" \
        "$(verdict "$used_kib * 1024 * 100 < $size"))"
}
xfs "plain clip" "$CLIP"
plain_kib=${XFS_KIB:-0}
xfs "Sony-style clip" "$SONY"
if [[ -n ${XFS_KIB:-} ]]; then
    seconds=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$SONY")
    frames=$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of default=nw=1:nk=1 "$SONY")
    echo "  rtmd samples re-based: $frames over $(printf '%.0f' "$seconds") s; blocks they unshared:" \
        "$(( (XFS_KIB - plain_kib) / 4 )) (4 KiB each), $(echo "($XFS_KIB - $plain_kib) * 60 / $seconds / 1024" | bc -l |
        xargs printf '%.1f') MiB per minute of footage"
fi
