// Runs the general export path once: general_remux_driver SOURCE OUTPUT. For the benchmark.
#include <cstdio>

#include "media/general/general_remux.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE OUTPUT\n", argv[0]);
        return 2;
    }
    kelvatta::ExportJob job;
    job.source = argv[1];
    job.output = argv[2];
    job.fileType = std::string(kelvatta::kFileTypeMPEG4);
    job.metadata = {{"mdta/timecode", "00:00:00:00", std::string(kelvatta::kMetadataDataTypeString)}};
    kelvatta::ExportControl control;
    auto clip = kelvatta::LockedClip::open(job.source, kelvatta::ClipUse::replace);
    auto result =
        clip.isError() ? kelvatta::ErrorOr<void>(clip.releaseError()) : kelvatta::remuxGeneral(job, control, *clip);
    if (result.isError()) {
        std::fprintf(stderr, "%s\n", result.error().localizedDescription.c_str());
        return 1;
    }
    return 0;
}
