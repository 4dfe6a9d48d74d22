#include "support/export_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "media/quicktime_meta.h"

namespace kelvatta::test {

std::vector<MetadataItem> zeroTimecodeItems() { return {quickTimeStringItem("timecode", "00:00:00:00")}; }

ExportOutcome exportThroughSession(const std::filesystem::path& source, const std::filesystem::path& output)
{
    ExportOutcome outcome;
    auto session = makeExportSession(source, kExportPresetPassthrough);
    EXPECT_TRUE(session);
    if (!session) return outcome;
    session->setOutputURL(output);
    session->setOutputFileType(std::string(kFileTypeMPEG4));
    session->setMetadata(zeroTimecodeItems());
    std::promise<void> ended;
    int calls = 0;
    session->exportAsynchronously([&] {
        ++calls;
        ended.set_value();
    });
    auto future = ended.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::minutes(2)), std::future_status::ready);
    future.wait();
    EXPECT_EQ(calls, 1);
    outcome.status = session->status();
    outcome.error = session->error();
    outcome.progress = session->progress();
    return outcome;
}

}  // namespace kelvatta::test
