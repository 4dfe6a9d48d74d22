// libFuzzer target: the camera XML's timecode edit (make fuzz SECONDS=N).
#include "moov_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelvatta::fuzzCameraXml(data, size);
    return 0;
}
