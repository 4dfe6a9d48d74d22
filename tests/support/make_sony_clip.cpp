// Turns a clip made by ffmpeg into a Sony-style one, for the demo and the benchmarks: the XAVC ftyp,
// the profile box, rtmd samples and the camera's XML counting from a given start, and the sidecar
// <name>M01.XML beside it.
//   make_sony_clip INPUT OUTPUT HH:MM:SS:FF FPS [df|half|ndf] [RTMD_SAMPLE_SIZE, 0 for no rtmd track]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/sony_clip.h"

using namespace kelvatta::test;

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT HH:MM:SS:FF FPS [df|half]\n", argv[0]);
        return 2;
    }
    SonyStyle style;
    unsigned h = 0, m = 0, s = 0, f = 0;
    if (std::sscanf(argv[3], "%u:%u:%u%*[:;]%u", &h, &m, &s, &f) != 4) return 2;
    style.timecode.start = {h, m, s, f};
    style.timecode.fps = static_cast<unsigned>(std::atoi(argv[4]));
    const std::string counting = argc > 5 ? argv[5] : "";
    style.timecode.dropFrame = counting == "df";
    style.timecode.halfStep = counting == "half";
    style.secondAvc1 = false;
    if (argc > 6) style.rtmdSampleSize = static_cast<size_t>(std::atol(argv[6]));
    style.rtmdTrack = style.rtmdSampleSize > 0;

    const std::filesystem::path output = argv[2];
    // The media data stays in the source file and is copied across: clips of many GB fit no memory.
    std::vector<Node> top = addSonyStructures(parseFileHeaders(argv[1], 64u << 20), style);
    writeFile(output, top, argv[1]);
    for (Node& box : top) {
        if (box.type != "moov") continue;
        const Bytes& stts = trackByHandler(box, "vide")->all("stts").front()->data;
        unsigned frames = 0;
        for (uint32_t i = 0; i < be32(stts, 4); ++i) frames += be32(stts, 8 + 8 * i);
        const std::string xml = sonyXml(style.timecode, frames);
        writeBytes(output.parent_path() / (output.stem().string() + "M01.XML"), Bytes(xml.begin(), xml.end()));
    }
    return 0;
}
