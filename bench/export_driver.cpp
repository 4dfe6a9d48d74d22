// Runs one export of the program's export component, for the benchmark script:
//   kelvatta_export_driver SOURCE OUTPUT [--no-flush]
// With --no-flush the output is not flushed to disk (to compare with tools that do not flush);
// otherwise the export runs through the export session exactly as the program runs it.
#include <cstdio>
#include <cstring>
#include <future>

#include "media/export/export.h"
#include "media/export/export_session.h"
#include "media/boxes/quicktime_meta.h"

using namespace kelvatta;

namespace {

std::vector<MetadataItem> timecodeItem() { return {MetadataItem::timecode(StartTimecode{})}; }

int fail(const std::string& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return fail("usage: kelvatta_export_driver SOURCE OUTPUT [--no-flush]");
    if (argc > 3 && std::strcmp(argv[3], "--no-flush") == 0) {
        ExportJob job{argv[1], argv[2], std::string(kFileTypeMPEG4), timecodeItem()};
        job.durable = false;
        ExportControl control;
        auto result = runExport(job, control);
        return result.isError() ? fail(result.error().localizedDescription) : 0;
    }
    auto session = makeExportSession(argv[1], kExportPresetPassthrough);
    if (!session) return fail("no export session");
    session->setOutputURL(argv[2]);
    session->setOutputFileType(std::string(kFileTypeMPEG4));
    session->setMetadata(timecodeItem());
    std::promise<void> done;
    session->exportAsynchronously([&done] { done.set_value(); });
    done.get_future().wait();
    if (auto error = session->error()) return fail(error->localizedDescription);
    if (session->status() != static_cast<long>(ExportStatus::completed))
        return fail("status " + std::to_string(session->status()));
    return 0;
}
