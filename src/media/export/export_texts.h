// The sentences of the export's way in and its session: a failed check of the result, a file type
// not written, no thread to run on. Made here only.
#pragma once

#include <filesystem>
#include <string>

namespace kelvatta::export_texts {

std::string verifyFailed(const std::filesystem::path& output, const std::string& reason);
std::string unsupportedFileType(const std::string& fileType);
std::string noThread(const std::filesystem::path& source);

}  // namespace kelvatta::export_texts
