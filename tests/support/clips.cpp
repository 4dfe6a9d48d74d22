#include "support/clips.h"

#include <algorithm>

#include "media/export/export.h"
#include "media/boxes/quicktime_meta.h"
#include "media/inplace/in_place.h"
#include "support/process.h"

namespace kelvatta::test {

bool makeClip(const std::filesystem::path& path, const ClipOptions& o)
{
    const std::string seconds = std::to_string(o.seconds);
    std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y"};
    for (const std::string& input :
         {"testsrc2=s=" + o.size + ":r=" + o.frameRate + ":d=" + seconds, "sine=f=440:r=48000:d=" + seconds})
        argv.insert(argv.end(), {"-f", "lavfi", "-i", input});
    argv.insert(argv.end(), {"-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-pix_fmt", "yuv420p", "-c:a",
                             "pcm_s16be", "-f", "mov", "-brand", "XAVC"});
    if (o.timecode) argv.insert(argv.end(), {"-timecode", *o.timecode});
    if (o.moovFirst) argv.insert(argv.end(), {"-movflags", "faststart"});
    argv.push_back(path);
    return runProgram(argv).status == 0;
}

bool makeMatroska(const std::filesystem::path& path, const std::string& more)
{
    return shell(
               "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240:r=25 -f lavfi -i sine=r=48000 -t 1 "
               "-c:v libx264 -preset ultrafast -c:a aac " +
               more + " " + shellQuote(path))
               .status == 0;
}

std::string probe(const std::filesystem::path& file, const std::string& arguments)
{
    std::string out = shell("ffprobe -v error " + arguments + " " + shellQuote(file)).out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string formatTimecode(const std::filesystem::path& file)
{
    return probe(file, "-show_entries format_tags=timecode -of default=nw=1:nk=1");
}

std::string streamTimecode(const std::filesystem::path& file, const std::string& specifier)
{
    return probe(file, "-select_streams " + specifier + " -show_entries stream_tags=timecode -of default=nw=1:nk=1");
}

std::string codecTags(const std::filesystem::path& file)
{
    std::string tags = probe(file, "-show_entries stream=codec_tag_string -of csv=p=0");
    std::replace(tags.begin(), tags.end(), '\n', ',');
    return tags;
}

std::string packetHash(const std::filesystem::path& file)
{
    return shell("ffmpeg -nostdin -v error -i " + shellQuote(file) +
                 " -map 0:v -map 0:a? -c copy -f streamhash -hash md5 -")
        .out;
}

std::vector<MetadataItem> zeroTimecodeItems() { return {MetadataItem::timecode(StartTimecode{})}; }

ErrorOr<void> exportClip(const std::filesystem::path& source, const std::filesystem::path& output)
{
    ExportControl control;
    return runExport({source, output, std::string(kFileTypeMPEG4), zeroTimecodeItems()}, control);
}

ErrorOr<void> rewriteClipInPlace(const std::filesystem::path& clip)
{
    ExportControl control;
    auto locked = LockedClip::open(clip, ClipUse::rewrite);
    if (locked.isError()) return locked.releaseError();
    return rewriteInPlace(*locked, zeroTimecodeItems(), control);
}

ErrorOr<bool> restoreClip(const std::filesystem::path& clip)
{
    auto locked = LockedClip::open(clip, ClipUse::rewrite);
    if (locked.isError()) return locked.releaseError();
    auto restored = restoreInPlace(*locked);
    if (restored.isError()) return restored.releaseError();
    return restored->has_value();
}

}  // namespace kelvatta::test
