// The sentences of reading boxes: what is wrong with a box, a table, a sample or the movie, what is
// too large or not supported, and the start timecodes left as they are. Made here only; a box type
// is named in them as quotedType does ("“stco”").
#pragma once

#include <cstdint>
#include <string>

#include "media/boxes/start_timecodes.h"

namespace kelvatta::box_texts {

// A box's header and its place.
std::string headerCut();
std::string headerCut(uint32_t type);
std::string sizeZero(uint32_t type);
std::string smallerThanHeader(uint32_t type);
std::string pastFileEnd(uint32_t type);
std::string pastParent(uint32_t type);
std::string outsideBuffer();
std::string tooManyChildren();
std::string childCut();
std::string tooManyTopLevel();
std::string duplicate(uint32_t type);
std::string tooShort(uint32_t type);
std::string unknownVersion(uint32_t type, unsigned version);
std::string missingChild(uint32_t parent, uint32_t type);
std::string missingMoov();
std::string fileShrank();

// Sizes and memory: the box too large to read, the moov over the limit, what was being read when
// memory ran out ("reading" then outOfMemoryWhile).
std::string tooLarge(uint32_t type);
std::string moovTooLarge(uint64_t size, uint64_t limit);
std::string reading(uint32_t type, size_t size);
std::string outOfMemoryWhile(const std::string& doing);

// The movie and its tables.
std::string moovInvalid();
std::string moovPastBuffer();
std::string fragmented();
std::string externalData();
std::string encryptedTrack(uint32_t type);
std::string tableCountPastBox(uint32_t type);
std::string timecodeDescriptionShort();
std::string severalChunkOffsetTables();
std::string chunkNumberInvalid();
std::string chunkTableEmpty();
std::string tooManySamples(uint32_t handler);
std::string sampleOutOfRange();
std::string chunkSamplesMismatch();
std::string timecodeSampleShort();
std::string timecodeSamplePastEnd();

// Metadata items.
std::string unsupportedItem(const std::string& identifier);
std::string unsupportedItemType(const std::string& dataType);
std::string metadataTooLarge();

// A start timecode left as it is, named as the lines that say so name it.
std::string unreadTimecode(const UnreadTimecode& timecode);

}  // namespace kelvatta::box_texts
