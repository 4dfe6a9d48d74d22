// The sentences of libavformat's path: how streams are named, what the output leaves out, and what
// the path refuses or finds wrong. Made here only.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvatta::general_texts {

// A stream's kind (video, audio ...), and a stream as --show names where a timecode is reported.
std::string streamKind(AVMediaType type);
std::string reportedStream(AVMediaType type, unsigned index);
std::string container();
// A codec libavcodec does not name: by its tag where it has one.
std::string unknownCodec(const char* tag);

// What the output leaves out: a stream by its kind (a cover picture, an attachment) and name, a tag
// of a carried stream, a chapter, the overlapping cues of a stream.
std::string lostStream(AVMediaType type, bool picture, const std::string& what);
std::string lostTag(const std::string& stream, const std::string& key);
std::string lostChapter(const std::string& title);
std::string lostOverlap(const std::string& stream);
// A replace that would lose them; the line of each a save-as leaves out.
std::string cannotKeep(const std::filesystem::path& source, const std::vector<std::string>& lost);
std::string leftOutLine(const std::filesystem::path& source, const std::string& lost);

// Refusals and failures of the path, naming the source (or the output).
std::string unknownParameters(const std::filesystem::path& source, AVMediaType type, const std::string& codec);
std::string unsupportedCodec(const std::filesystem::path& source, AVMediaType type, const std::string& codec);
std::string lateStream(const std::filesystem::path& source, AVMediaType type, const std::string& codec);
std::string rateUnknown(const std::filesystem::path& source, const std::string& stream);
std::string rateTooHigh(const std::filesystem::path& source);
std::string cueTooLong(const std::filesystem::path& source, const std::string& stream);
std::string trailerOfFragmented(const std::filesystem::path& source, uint64_t size);
std::string damagedSource(const std::filesystem::path& source, const std::string& reason);
std::string notReadWhole(const std::filesystem::path& source);
std::string notMuxed(const std::filesystem::path& source, const std::string& reason);
std::string notAsWritten(const std::filesystem::path& output);
std::string itemNotWritable(const std::string& identifier);
std::string muxerMissing();
std::string libraryNotLoaded(const std::string& library, const char* why);
// The reasons of a damaged source (damagedSource) and of a muxed moov not as written.
std::string unparsableData();
std::string timestampOutOfRange();
std::string timecodeTrackWithoutStsd();
std::string timecodeDescriptionIncomplete();

}  // namespace kelvatta::general_texts
