#!/usr/bin/env bash
# Benchmark of --in-place on ext4 (the build's file system), on Sony-style clips of ~2 GB and ~20 GB
# (made once into $BUILD/bench-cache from the clip bench/export.sh makes), side by side in one run
# with `cp` then `sync` of the same clip and with the ordinary replace (a temporary file renamed
# over the clip, flushed):
#   - time of --in-place on the 20 GB clip                     target < 1 s
#   - bytes it writes (pages it dirties, /proc/PID/io)         target < 3 % of the clip; without an
#                                                              rtmd track < 0.1 %
#   - with a cold cache, its time over the disk's floor         target ≤ 1.2
# The floor is two random 4 KiB I/Os per frame whose rtmd sample is patched (the page read, the page
# written back) at the rate fio reads random 4 KiB blocks of the same clip at queue depth 64, measured
# in this run. Cold: the clip's pages are dropped from the cache (the program's own stay, as after
# any earlier start of it).
# Between rounds the clip is given back with --restore (checked against the record's hash).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/sony_clips.bash
ROUNDS=${ROUNDS:-3}
BIG_ROUNDS=${BIG_ROUNDS:-1}

# run <command...>: "seconds bytes-written" of the command and everything it started.
run() {
    local TIMEFORMAT=%R t
    t=$( { time bash -c '"$@" >/dev/null 2>&1; awk "/^write_bytes/ { print \$2 }" /proc/$$/io > '"$CACHE/io"'' _ "$@"; } 2>&1)
    echo "$t $(cat "$CACHE/io")"
}
pct() { echo "scale=4; 100 * $1 / $2" | bc -l | sed 's/^\./0./'; }

# bench <label> <clip> <rounds> <byte target %>
bench() {
    local label=$1 clip=$2 rounds=$3 target=$4 size work=$CACHE/in-place-work i
    size=$(stat -c %s "$clip")
    rm -rf "$work" && mkdir -p "$work"
    local -a cp_t=() cp_b=() rep_t=() rep_b=() ip_t=() ip_b=() cold_t=()
    for ((i = 1; i <= rounds; i++)); do
        sync
        read -r t b <<< "$(run sh -c "cp '$clip' '$work/cp.MP4' && sync")"; cp_t+=("$t"); cp_b+=("$b")
        rm -f "$work/cp.MP4"
        # The replace needs room for the clip's copy and its temporary file.
        if (($(df -B1 --output=avail "$CACHE" | tail -1) > 2 * size + (1 << 30))); then
            cp -p "$clip" "$work/C0001.MP4"; sync
            read -r t b <<< "$(run "$KELVATTA" "$work/C0001.MP4")"; rep_t+=("$t"); rep_b+=("$b")
            rm -f "$work/C0001.MP4"; sync
        else
            rep_t+=(0); rep_b+=(0)
            echo "  (replace not measured: no room for two more copies)"
        fi
        read -r t b <<< "$(run "$KELVATTA" --in-place "$clip")"; ip_t+=("$t"); ip_b+=("$b")
        "$KELVATTA" --restore "$clip" >/dev/null
        sync
        cold "$clip"
        read -r t b <<< "$(run "$KELVATTA" --in-place "$clip")"; cold_t+=("$t")
        "$KELVATTA" --restore "$clip" >/dev/null
        sync
    done
    rm -rf "$work"
    local ip_bytes
    ip_bytes=$(median "${ip_b[@]}")
    printf '%s (%.2f GB), %d round(s), medians:\n' "$label" "$(echo "$size / 1000000000" | bc -l)" "$rounds"
    printf '  cp + sync        %8.3f s  %14d bytes written\n' "$(median "${cp_t[@]}")" "$(median "${cp_b[@]}")"
    printf '  replace          %8.3f s  %14d bytes written\n' "$(median "${rep_t[@]}")" "$(median "${rep_b[@]}")"
    printf '  --in-place       %8.3f s  %14d bytes written (%s %% of the clip; target < %s %%: %s)\n' \
        "$(median "${ip_t[@]}")" "$ip_bytes" "$(pct "$ip_bytes" "$size")" "$target" \
        "$(verdict "100 * $ip_bytes < $target * $size")"
    IP_TIME=$(median "${ip_t[@]}")
    local frames
    frames=$(frames "$clip")
    [[ -z $frames ]] || over "--in-place, cold" "$(median "${cold_t[@]}")" 2 "$frames" "$(iops "$clip")"
}

echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores, shared); $(df --output=fstype "$CACHE" | tail -1)"
bench "2 GB Sony-style clip, rtmd samples of 11,264 bytes" "$(sony 2g 1 11264)" "$ROUNDS" 3
bench "2 GB Sony-style clip without an rtmd track" "$(sony 2g-nortmd 1 0)" "$ROUNDS" 0.1
bench "20 GB Sony-style clip, rtmd samples of 11,264 bytes" "$(sony 20g 10 11264)" "$BIG_ROUNDS" 3
echo "  --in-place on 20 GB in under 1 s: $(verdict "$IP_TIME < 1")"
bench "20 GB Sony-style clip without an rtmd track" "$(sony 20g-nortmd 10 0)" "$BIG_ROUNDS" 0.1
echo "  --in-place on 20 GB in under 1 s: $(verdict "$IP_TIME < 1")"
