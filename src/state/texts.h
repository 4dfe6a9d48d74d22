// The texts the window shows: its labels, and the status and error lines the batch run, the intake
// and the command line write into the view state; and the log lines the batch run and the intake
// print. A colon in them is the full-width "：".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvatta {

// The drop zone and what lies around it.
inline constexpr const char* kDropZoneName = "拖放区";
inline constexpr const char* kDropZoneDescription = "拖放文件或文件夹到这里，或选择文件夹";
inline constexpr const char* kDropHint = "拖放文件或文件夹到这里";
inline constexpr const char* kOr = "或";
inline constexpr const char* kChooseFolder = "选择文件夹";  // the button, and the title of its panel
inline constexpr const char* kSaveAsToggle = "另存为（在原目录下）";
inline constexpr const char* kProgressName = "处理进度";

// What the window was opened with (a file manager's "Open with"), waiting for the user's go: the line
// in the drop zone's hint's place, "已选择 3 个文件（/media/card/CLIP）", and the button that starts it.
inline constexpr const char* kStartProcessing = "开始处理";
inline std::string openedFilesText(size_t count, const std::string& folder)
{
    return "已选择 " + std::to_string(count) + " 个文件（" + folder + "）";
}

// The footer.
inline constexpr const char* kCreditLine = "Kelvatta · 时间码归零工具";
inline constexpr const char* kLinkLine = "使用说明";
inline constexpr const char* kCannotOpenGuide = "无法打开使用说明：";
inline constexpr const char* kGuideMissing = "找不到使用说明文件";
inline constexpr const char* kNoBrowser = "没有可以打开网页的程序";
inline constexpr const char* kWarning = "仅支持处理索尼微单素材处理\n请勿处理其他品牌机型以及索尼非微单机型素材";

// The status line, from the window's opening to the end of a batch.
inline constexpr const char* kInitialProcessingStatus = "拖放文件或文件夹到下面区域，或点击选择文件夹";
inline constexpr const char* kBatchStarting = "开始处理文件";
inline constexpr const char* kBatchFailed = "处理过程中发生错误";
inline constexpr const char* kBatchDone = "处理完成";

// "正在处理文件 2 / 5": the status while a batch runs, also the line under the progress bar.
inline std::string processingFilesText(int64_t done, int64_t total)
{
    return "正在处理文件 " + std::to_string(done) + " / " + std::to_string(total);
}

// The line in the error line's place after a batch without a failure: "已完成：12 个文件", and
// "（3 个原已是 00:00:00:00）" after it when some files already started there and were left as they were.
inline std::string batchDoneText(int64_t done, int64_t alreadyZero)
{
    std::string text = "已完成：" + std::to_string(done) + " 个文件";
    if (alreadyZero > 0) text += "（" + std::to_string(alreadyZero) + " 个原已是 00:00:00:00）";
    return text;
}

// Errors the intake and the command line write as the error message.
inline constexpr const char* kNoVideoFiles = "未找到需要处理的视频文件";
inline constexpr const char* kFolderAccessFailure = "无法访问文件夹内容";
inline constexpr const char* kCannotLoadFile = "无法加载文件：";
inline constexpr const char* kUnknownError = "未知错误";
inline constexpr const char* kInterrupted = "已中断";

// The error line under the progress block, and the command line's last word on a failed batch.
inline std::string errorLineText(const std::string& message) { return "错误：" + message; }

// The log lines of the batch run, on standard output.
inline std::string queueWidthLine(long width) { return "OperationQueue 最大并发数：" + std::to_string(width); }
inline std::string batchStartLine(size_t count) { return "开始处理 " + std::to_string(count) + " 个文件"; }
inline std::string fileFailedLine(const std::string& file, const std::string& message)
{
    return "处理文件失败：" + file + "，错误：" + message;
}
inline std::string fileDoneLine(const std::string& file, int64_t done, int64_t total)
{
    return "成功处理文件：" + file + "，进度：" + std::to_string(done) + " / " + std::to_string(total);
}
inline constexpr const char* kAllFilesDone = "所有文件处理完成";

// The log lines of the intake.
inline std::string droppedFileLine(const std::string& path) { return "加载的文件 URL：" + path; }
inline std::string chosenFolderLine(const std::string& path) { return "选择的文件夹路径：" + path; }
inline std::string collectedFileLine(const std::string& path) { return "收集到视频文件：" + path; }
// The files the window was opened with, held: openedFilesText and that they wait.
inline std::string heldFilesLine(size_t count, const std::string& folder)
{
    return openedFilesText(count, folder) + "，等待开始处理";
}

}  // namespace kelvatta
