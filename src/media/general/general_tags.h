// The tags of the general path: what of a source's container and stream tags goes into the MP4
// output, where, and what has no place there.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>
#include <string_view>
#include <vector>

#include "media/base/metadata_item.h"
#include "media/general/general_moov.h"
#include "platform/error.h"

namespace kelvatta {

// Where an MP4 output keeps its container tags: as QuickTime metadata keys (a meta of handler mdta,
// libavformat's use_metadata_tags), or as iTunes-style items (a meta of handler mdir holding ilst),
// where players, photo libraries and exiftool's ItemList read an MP4's title, encoder and the like.
enum class TagPlace { keys, items };

// The key space of the job's metadata items, which the muxer writes as mdta keys in the movie's meta box.
inline constexpr std::string_view kMdtaPrefix = "mdta/";

// Whether two tag keys are one, letter case aside; a key without a language suffix ("BPS-eng" is
// "BPS", "encoder-eng" "encoder").
bool sameKey(std::string_view a, std::string_view b);
std::string_view baseKey(std::string_view key);

// Copies the source's container tags into out, which the muxer writes as QuickTime metadata items,
// each under its own key (title, comment, artist, date, location ... as the source names them): all
// but its timecode and the keys the job's items set (which replace them), its encoder (an item of
// the user data, see userDataTexts) and the brands of its own container. A date ("date") that reads
// as one, in a source that gives no creation time, becomes the creation time too, which the muxer
// writes as the movie's and its tracks' dates.
ErrorOr<void> copyContainerTags(AVDictionary** out, const AVDictionary* in, const std::vector<MetadataItem>& items);

// The container tags whose place is an item of the movie's user data, which the muxer does not write
// beside QuickTime metadata items: the location as ©xyz, where phones and cameras keep it (the
// muxer writes it as a key and a 3GPP loci box only), where it is an ISO 6709 point
// ("+48.8577+002.2950/", "+35.6586+139.7454+040.000/"); the encoder as ©swr (the muxer drops the
// source's, for its own name or, in a bit-exact file, none).
// Kept as items, the encoder is an item (see placeAsItems).
std::vector<UserDataText> userDataTexts(const AVDictionary* tags, TagPlace place);

// Makes the container tags out (see copyContainerTags) the tags of an output that keeps them as
// iTunes-style items: the source's encoder (in) becomes the encoding tool the muxer writes as ©too,
// and the tags it has no ilst item for leave out, returned as QuickTime metadata items for a meta of
// keys beside the items.
ErrorOr<std::vector<MetadataItem>> placeAsItems(AVDictionary** out, const AVDictionary* in);

// Copies the tags of a stream that have a place in an MP4 track: its language (mdhd), its title (the
// track's name, and its handler's where the source names no handler), its handler's name, and a
// video's encoder (the compressor name of its sample description).
ErrorOr<void> copyStreamTags(AVStream* out, const AVStream* in);

// The keys of the stream's tags that have no place in the output. Those that describe the source
// file rather than the stream (the statistics and dates a muxer writes, the encoder of its audio,
// its own timecode) are not counted: the output describes itself.
std::vector<std::string> streamTagsWithoutPlace(const AVStream* in);

}  // namespace kelvatta
