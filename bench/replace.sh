#!/usr/bin/env bash
# Benchmark of the ordinary rewrite, replace and save-as, against what a careful user does by hand to
# replace a clip durably, on the build's file system (ext4):
#     cp CLIP temp_CLIP && sync temp_CLIP && mv temp_CLIP CLIP && sync FOLDER
# (the copy flushed, renamed over the clip, the folder flushed), on a 1 GiB clip without rtmd, the
# Sony-style clips of ~2 GB with and without an rtmd track that bench/in_place.sh uses, and those of
# ~20 GB where the disk has room to make them and to write a copy beside them:
#   - `kelvatta CLIP` over the manual replace                 target ≤ 1.0
#   - `kelvatta --save-as CLIP` over the manual replace       target ≤ 1.0
#   - where the replace's time goes (bench/rewrite_split.cpp, in-process, without the program's
#     start): reading the clip, the copy, the check, the flushes
# Each round runs the manual replace, the replace, the save-as and the split in turn (the order
# alternating) on the clip's name in a work folder, a hard link to the clip made again for each run:
# its pages are cached for every command alike, and replacing the name frees no blocks on either
# side. Medians of ROUNDS (5) rounds, BIG_ROUNDS (3) for the 20 GB clips (0: not measured); the
# ratios are the medians of each round's ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/sony_clips.bash
SPLIT=$BUILD/bench/kelvatta_rewrite_split
ROUNDS=${ROUNDS:-5}
BIG_ROUNDS=${BIG_ROUNDS:-3}
WORK=$CACHE/replace-work
[[ -x $SPLIT ]] || { echo "missing $SPLIT (make build first)" >&2; exit 1; }

# fresh <clip>: the work folder holding only CLIP's name, a hard link to clip, everything else flushed.
fresh() { rm -rf "$WORK" && mkdir -p "$WORK" && ln "$1" "$WORK/C0001.MP4" && sync; }

by_hand() {
    cp "$WORK/C0001.MP4" "$WORK/temp_C0001.MP4" && sync "$WORK/temp_C0001.MP4" &&
        mv "$WORK/temp_C0001.MP4" "$WORK/C0001.MP4" && sync "$WORK"
}
replace() { "$KELVATTA" "$WORK/C0001.MP4"; }
save_as() { "$KELVATTA" --save-as "$WORK/C0001.MP4"; }

# bench <label> <clip> <rounds>
bench() {
    local label=$1 clip=$2 rounds=$3 i step t hand
    local -a hand_t=() rep_t=() save_t=() rep_r=() save_r=() reading=() copy=() check=() flush=() rest=()
    cat "$clip" >/dev/null
    for ((i = 1; i <= rounds; i++)); do
        local -a steps=(by_hand replace save_as split)
        ((i % 2)) || steps=(split save_as replace by_hand)
        for step in "${steps[@]}"; do
            fresh "$clip"
            case $step in
            by_hand) hand=$(seconds by_hand) ;;
            replace)
                t=$(seconds replace)
                rep_t+=("$t")
                ;;
            save_as)
                t=$(seconds save_as)
                save_t+=("$t")
                ;;
            split)
                t=$("$SPLIT" "$WORK/C0001.MP4")
                read -r _ r _ c _ k _ f _ o <<<"$t"
                reading+=("$r") copy+=("$c") check+=("$k") flush+=("$f") rest+=("$o")
                ;;
            esac
        done
        hand_t+=("$hand")
        rep_r+=("$(ratio "${rep_t[-1]}" "$hand")") save_r+=("$(ratio "${save_t[-1]}" "$hand")")
    done
    rm -rf "$WORK"
    local rep save
    rep=$(median "${rep_r[@]}") save=$(median "${save_r[@]}")
    printf '%s (%.2f GB), %d round(s), medians:\n' "$label" "$(echo "$(stat -c %s "$clip") / 1000000000" | bc -l)" \
        "$rounds"
    printf '  by hand (cp, sync, mv, sync)  %7.3f s  (runs: %s)\n' "$(median "${hand_t[@]}")" "${hand_t[*]}"
    printf '  replace                       %7.3f s  (runs: %s)  over by hand: %s (target ≤ 1.0: %s)\n' \
        "$(median "${rep_t[@]}")" "${rep_t[*]}" "$rep" "$(verdict "$rep <= 1.0")"
    printf '  save-as                       %7.3f s  (runs: %s)  over by hand: %s (target ≤ 1.0: %s)\n' \
        "$(median "${save_t[@]}")" "${save_t[*]}" "$save" "$(verdict "$save <= 1.0")"
    printf '  the replace, in-process: reading the clip %.3f s, copy %.3f s, check %.3f s, flushes %.3f s, rest %.3f s\n' \
        "$(median "${reading[@]}")" "$(median "${copy[@]}")" "$(median "${check[@]}")" "$(median "${flush[@]}")" \
        "$(median "${rest[@]}")"
}

# The 1 GiB clip: the first 106 seconds of the plain clip, made once.
one_gib() {
    local clip=$CACHE/replace-1g/C0001.MP4
    if [[ ! -s $clip ]]; then
        mkdir -p "$(dirname "$clip")"
        ffmpeg -nostdin -v error -y -i "$PLAIN" -map 0 -c copy -t 106 -f mov -brand XAVC "$clip.part"
        mv "$clip.part" "$clip"
    fi
    echo "$clip"
}

# big <name> <label>: the 20 GB clip where there is room to make it and to write its copy.
big() {
    local name=$1 label=$2 rtmd=11264 clip
    [[ $name == *nortmd ]] && rtmd=0
    if ((BIG_ROUNDS == 0)); then
        echo "$label: not measured (BIG_ROUNDS=0)"
        return
    fi
    if ! room "$name" 10; then
        echo "$label: not measured (no room on the disk to make it)"
        return
    fi
    clip=$(sony "$name" 10 "$rtmd")
    # Its copy, with 15 GiB left for everything else on the disk.
    if (($(df -B1 --output=avail "$CACHE" | tail -1) < $(stat -c %s "$clip") + (15 << 30))); then
        echo "$label: not measured (no room on the disk for its copy)"
        return
    fi
    bench "$label" "$clip" "$BIG_ROUNDS"
}

echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores, shared); $(df --output=fstype "$CACHE" | tail -1)"
starts=()
for ((i = 1; i <= 5; i++)); do starts+=("$(seconds "$KELVATTA" --help)"); done
echo "The program's start (kelvatta --help), median of 5, part of each replace and save-as: $(median "${starts[@]}") s"
bench "1 GiB clip without an rtmd track" "$(one_gib)" "$ROUNDS"
bench "2 GB Sony-style clip, rtmd samples of 11,264 bytes" "$(sony 2g 1 11264)" "$ROUNDS"
bench "2 GB Sony-style clip without an rtmd track" "$(sony 2g-nortmd 1 0)" "$ROUNDS"
big 20g "20 GB Sony-style clip, rtmd samples of 11,264 bytes"
big 20g-nortmd "20 GB Sony-style clip without an rtmd track"
