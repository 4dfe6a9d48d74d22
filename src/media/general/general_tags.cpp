#include "media/general/general_tags.h"

extern "C" {
#include <libavutil/parseutils.h>
}

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>

#include "media/base/media_error.h"

namespace kelvatta {
namespace {

// The tags a muxer writes of a stream in the file it makes (Matroska statistics, a date, the
// encoding library of its audio), and the stream's own timecode: recomputed or replaced.
bool describesSourceFile(std::string_view key)
{
    const std::string_view base = baseKey(key);
    if (base.size() >= 12 && sameKey(base.substr(0, 12), "_STATISTICS_")) return true;
    for (const char* made : {"DURATION", "NUMBER_OF_FRAMES", "NUMBER_OF_BYTES", "BPS", "ENCODER", "vendor_id",
                             "creation_time", "timecode"})
        if (sameKey(base, made)) return true;
    return false;
}

// Tags copyStreamTags carries.
bool hasPlace(std::string_view key)
{
    for (const char* kept : {"language", "title", "handler_name"})
        if (sameKey(key, kept)) return true;
    return false;
}

const char* tag(const AVDictionary* tags, const char* key)
{
    const AVDictionaryEntry* entry = av_dict_get(tags, key, nullptr, 0);
    return entry && *entry->value ? entry->value : nullptr;
}

ErrorOr<void> set(AVDictionary** tags, const char* key, const char* value)
{
    if (av_dict_set(tags, key, value, 0) < 0) return outOfMemory();
    return {};
}

// A date as the creation time the muxer reads ("2024-05-06T07:08:09.000000Z"), or nothing when the
// text is not a date (a year alone, a free text). A date without a zone is the local time, as a
// camera keeps it; a day without a time (an AVI's ICRD, "2024-05-06") its start.
std::optional<std::string> creationTime(const char* date)
{
    int64_t microseconds = 0;
    if (av_parse_time(&microseconds, date, 0) < 0 &&
        av_parse_time(&microseconds, (std::string(date) + " 00:00:00").c_str(), 0) < 0)
        return std::nullopt;
    const time_t seconds = static_cast<time_t>(microseconds / 1000000);
    struct tm utc {};
    if (!gmtime_r(&seconds, &utc)) return std::nullopt;
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc) == 0) return std::nullopt;
    return std::string(text);
}

// ±DD.D... or ±DDMM.M... style numbers of ISO 6709: a sign, digits, an optional fraction.
size_t signedNumber(std::string_view text)
{
    if (text.empty() || (text[0] != '+' && text[0] != '-')) return 0;
    size_t at = 1;
    const auto digits = [&] {
        const size_t from = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
        return at > from;
    };
    if (!digits()) return 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (!digits()) return 0;
    }
    return at;
}

// Latitude and longitude, an optional altitude, then "/" or the end.
bool isIso6709Point(std::string_view text)
{
    if (text.size() > 64) return false;
    for (int part = 0; part < 3; ++part) {
        const size_t length = signedNumber(text);
        if (length == 0) {
            if (part < 2) return false;
            break;
        }
        text.remove_prefix(length);
    }
    return text.empty() || text == "/";
}

// The tags libavformat's mp4 muxer (5.1) writes as ilst items, by the names its demuxer reads
// them back with (©too is written from "encoding_tool" and read as "encoder"), and those it writes
// elsewhere beside them (the movie's dates, a 3GPP loci box); it drops the rest.
bool hasItem(std::string_view key)
{
    for (const char* item : {"creation_time", "location",      "title",      "artist",        "album_artist",
                             "composer",      "album",         "date",       "encoding_tool", "comment",
                             "genre",         "copyright",     "grouping",   "lyrics",        "description",
                             "synopsis",      "show",          "episode_id", "network",       "keywords",
                             "episode_sort",  "season_number", "media_type", "hd_video",      "gapless_playback",
                             "compilation",   "track",         "disc"})
        if (sameKey(key, item)) return true;
    return false;
}

}  // namespace

bool sameKey(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view baseKey(std::string_view key)
{
    const size_t dash = key.rfind('-');
    return dash != std::string_view::npos && key.size() - dash == 4 ? key.substr(0, dash) : key;
}

ErrorOr<void> copyContainerTags(AVDictionary** out, const AVDictionary* in, const std::vector<MetadataItem>& items)
{
    const auto setByJob = [&](const char* key) {
        return std::any_of(items.begin(), items.end(), [&](const MetadataItem& item) {
            return std::string_view(item.identifier).starts_with(kMdtaPrefix) &&
                   sameKey(std::string_view(item.identifier).substr(kMdtaPrefix.size()), key);
        });
    };
    for (const AVDictionaryEntry* entry = nullptr; (entry = av_dict_get(in, "", entry, AV_DICT_IGNORE_SUFFIX));) {
        bool container = false;
        // The encoder's place is the user data (see userDataTexts): the muxer drops it as a key.
        for (const char* key : {"timecode", "encoder", "major_brand", "minor_version", "compatible_brands"})
            container = container || sameKey(entry->key, key);
        if (container || setByJob(entry->key)) continue;
        KV_TRY(set(out, entry->key, entry->value));
    }
    if (!tag(in, "creation_time") && !setByJob("creation_time"))
        if (const char* date = tag(in, "date"))
            if (auto time = creationTime(date)) KV_TRY(set(out, "creation_time", time->c_str()));
    return {};
}

std::vector<UserDataText> userDataTexts(const AVDictionary* tags, TagPlace place)
{
    std::vector<UserDataText> texts;
    if (const char* location = tag(tags, "location"); location && isIso6709Point(location))
        texts.push_back({fourcc("\xA9xyz"), location});
    if (const char* encoder = tag(tags, "encoder"); encoder && place == TagPlace::keys)
        texts.push_back({fourcc("\xA9swr"), encoder});
    return texts;
}

ErrorOr<void> copyStreamTags(AVStream* out, const AVStream* in)
{
    for (const char* key : {"language", "title", "handler_name"})
        if (const char* value = tag(in->metadata, key)) KV_TRY(set(&out->metadata, key, value));
    if (!tag(in->metadata, "handler_name"))
        if (const char* title = tag(in->metadata, "title")) KV_TRY(set(&out->metadata, "handler_name", title));
    if (in->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        if (const char* encoder = tag(in->metadata, "encoder")) KV_TRY(set(&out->metadata, "encoder", encoder));
    return {};
}

std::vector<std::string> streamTagsWithoutPlace(const AVStream* in)
{
    std::vector<std::string> keys;
    for (const AVDictionaryEntry* entry = nullptr;
         (entry = av_dict_get(in->metadata, "", entry, AV_DICT_IGNORE_SUFFIX));) {
        if (!hasPlace(entry->key) && !describesSourceFile(entry->key)) keys.emplace_back(entry->key);
    }
    return keys;
}

ErrorOr<std::vector<MetadataItem>> placeAsItems(AVDictionary** out, const AVDictionary* in)
{
    std::vector<MetadataItem> keys;
    std::vector<std::string> leaving;
    for (const AVDictionaryEntry* entry = nullptr; (entry = av_dict_get(*out, "", entry, AV_DICT_IGNORE_SUFFIX));) {
        if (hasItem(entry->key)) continue;
        leaving.emplace_back(entry->key);
        keys.push_back(MetadataItem::quickTimeString(entry->key, entry->value));
    }
    for (const std::string& key : leaving) av_dict_set(out, key.c_str(), nullptr, 0);  // removing allocates nothing
    if (const char* encoder = tag(in, "encoder")) KV_TRY(set(out, "encoding_tool", encoder));
    return keys;
}

}  // namespace kelvatta
