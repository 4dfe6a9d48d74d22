// One input through the box path as the export runs it, in memory: the export's probe (which refuses
// the input, leaves it to the general path or reads its top level and moov), the output planned and
// assembled, and the output read back. Shared by the libFuzzer target and the
// regression test that replays the corpus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvatta {

// Returns normally for every input, accepted or refused. Aborts when the output planned for an
// accepted input does not read back as planned: a fault of the rewrite, not of the input.
void fuzzBoxPath(const uint8_t* data, size_t size);

// The camera XML edit on any text: aborts when it changes anything but hex digits, changes the
// length, or changes an already re-based text again. The same for the start timecodes of the text
// taken for XMP and for user data (digits only, each value in place).
void fuzzCameraXml(const uint8_t* data, size_t size);

}  // namespace kelvatta
