// Replays the fuzzer's seed corpus and every input that once crashed it through the same entry the
// fuzzer drives, so the sanitizer build of the tests keeps them fixed.
#include <gtest/gtest.h>

#include <filesystem>

#include "moov_fuzz_entry.h"
#include "support/box_tree.h"

namespace fs = std::filesystem;

TEST(FuzzReplay, CorpusAndRegressionsRunClean)
{
    size_t replayed = 0;
    for (const char* folder : {"fuzz/corpus/moov", "fuzz/regressions/moov"}) {
        const fs::path dir = fs::path(KELVATTA_SOURCE_DIR) / folder;
        if (!fs::exists(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            SCOPED_TRACE(entry.path().string());
            const auto bytes = kelvatta::test::readBytes(entry.path());
            kelvatta::fuzzBoxPath(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 6u);
}
