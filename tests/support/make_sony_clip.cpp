// Turns a clip made by ffmpeg into a Sony-style one, for the demo, the benchmarks and the crash loops:
// the XAVC ftyp, the profile box, rtmd samples and the camera's XML counting from a given start, and
// the sidecar <name>M01.XML beside it. The media data is copied across from the input, so clips of
// many GB need no memory for it.
//   make_sony_clip INPUT OUTPUT HH:MM:SS:FF FPS [df|half|ndf] [RTMD_SAMPLE_SIZE, 0 for no rtmd track]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/sony_clip.h"

using namespace kelvatta::test;

int main(int argc, char** argv)
{
    SonyStyle style;
    unsigned h = 0, m = 0, s = 0, f = 0;
    if (argc < 5 || std::sscanf(argv[3], "%u:%u:%u%*[:;]%u", &h, &m, &s, &f) != 4) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT HH:MM:SS:FF FPS [df|half|ndf] [RTMD_SAMPLE_SIZE]\n", argv[0]);
        return 2;
    }
    const std::string counting = argc > 5 ? argv[5] : "";
    style.timecode = {static_cast<unsigned>(std::atoi(argv[4])), counting == "df", counting == "half", {h, m, s, f}};
    if (argc > 6) style.rtmdSampleSize = static_cast<size_t>(std::atol(argv[6]));

    const std::filesystem::path output = argv[2];
    std::vector<Node> top = addSonyStructures(parseFileHeaders(argv[1], 64u << 20), style);
    writeBoxes(output, top, argv[1]);
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
