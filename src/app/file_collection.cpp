#include "app/file_collection.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <string_view>

#include "operations/batch_run.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/sys.h"

namespace kelvatta {
namespace {

bool isVideoFile(const std::filesystem::path& url)
{
    static constexpr std::array<std::string_view, 5> kExtensions = {"mp4", "mov", "m4v", "avi", "mkv"};
    std::string extension = url.extension().string();
    if (extension.empty()) return false;
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

}  // namespace

void collectVideoFiles(ContentView view, std::vector<std::filesystem::path> urls)
{
    DispatchQueue::global().async([weakView = view.weak(), urls = std::move(urls)] {
        std::vector<std::filesystem::path> videoFiles;
        for (const auto& url : urls) {
            if (!url.has_filename()) {
                const std::string note = "kelvatta：暂不支持搜索文件夹，已跳过：" + url.string() + "\n";
                (void)sys::writeAll(STDERR_FILENO, note.data(), note.size());
                continue;
            }
            if (!isVideoFile(url)) continue;
            videoFiles.push_back(url);
            printLine("收集到视频文件：" + url.string());
        }
        DispatchQueue::main().async([weakView, videoFiles = std::move(videoFiles)]() mutable {
            if (auto view = weakView.lock()) processFiles(*view, std::move(videoFiles));
        });
    });
}

}  // namespace kelvatta
