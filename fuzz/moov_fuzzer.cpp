// libFuzzer target: the box reader, the moov parse and the moov rewrite (make fuzz SECONDS=N).
#include "moov_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelvatta::fuzzBoxPath(data, size);
    return 0;
}
