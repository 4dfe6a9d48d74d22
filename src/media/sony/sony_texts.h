// The sentences of the camera's files: why a sidecar is left as it is and the line that says so, a
// sidecar's refusal, an rtmd sample cut short. Made here only.
#pragma once

#include <filesystem>
#include <string>

#include "media/sony/sidecar.h"

namespace kelvatta::sony_texts {

// Why a sidecar is left alone, as the texts say it after its name.
std::string sidecarLeftAlone(SidecarLeftAlone why);
// The line for a sidecar left alone.
std::string leftAloneLine(const std::filesystem::path& sidecar, SidecarLeftAlone why);
// A refusal (of the start) told as being the sidecar's.
std::string inSidecar(const std::filesystem::path& sidecar, const std::string& refusal);
std::string rtmdSamplePastEnd();

}  // namespace kelvatta::sony_texts
