// Replays the fuzzer's seed corpus and every input that once crashed it (any file at any depth of
// fuzz/regressions/) through the same entry the fuzzer drives, so the sanitizer build of the tests
// keeps them fixed.
#include <gtest/gtest.h>

#include <filesystem>

#include "moov_fuzz_entry.h"
#include "support/box_tree.h"

namespace fs = std::filesystem;

TEST(FuzzReplay, CorpusAndRegressionsRunClean)
{
    size_t replayed = 0;
    const struct {
        const char* folder;
        void (*entry)(const uint8_t*, size_t);
    } targets[] = {{"fuzz/corpus/moov", kelvatta::fuzzBoxPath},
                   {"fuzz/regressions/moov", kelvatta::fuzzBoxPath},
                   {"fuzz/corpus/xml", kelvatta::fuzzCameraXml},
                   {"fuzz/regressions/xml", kelvatta::fuzzCameraXml}};
    for (const auto& target : targets) {
        const fs::path dir = fs::path(KELVATTA_SOURCE_DIR) / target.folder;
        if (!fs::exists(dir)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            SCOPED_TRACE(entry.path().string());
            const auto bytes = kelvatta::test::readBytes(entry.path());
            target.entry(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 7u);
}
