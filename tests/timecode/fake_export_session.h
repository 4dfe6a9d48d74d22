// An export session whose outcome the test chooses.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "media/export_session.h"

namespace kelvatta::test {

class FakeExportSession : public ExportSession, public std::enable_shared_from_this<FakeExportSession> {
public:
    struct Outcome {
        std::optional<Error> error;
        ExportStatus status = ExportStatus::completed;
        // Bytes written to the output URL during the export; nothing written when empty.
        std::string outputBytes = "new clip";
    };

    explicit FakeExportSession(Outcome outcome) : outcome_(std::move(outcome)) {}

    void setOutputURL(std::filesystem::path url) override { outputURL = std::move(url); }
    void setOutputFileType(std::string type) override { fileType = std::move(type); }
    void setMetadata(std::vector<MetadataItem> items) override { metadata = std::move(items); }
    void setRefusesLinkedOutputFolder(bool refuses) override { refusesLinkedFolder = refuses; }
    void setInPlace(bool on) override { inPlace = on; }

    void exportAsynchronously(std::function<void()> handler) override
    {
        ++exportCalls;
        std::thread([self = shared_from_this(), handler = std::move(handler)]() mutable {
            if (!self->outcome_.outputBytes.empty())
                std::ofstream(self->outputURL, std::ios::binary) << self->outcome_.outputBytes;
            self->done = true;
            handler();
            handler = nullptr;
        }).detach();
    }

    std::optional<Error> error() const override { return outcome_.error; }
    long status() const override { return static_cast<long>(outcome_.status); }
    double progress() const override { return done ? 1.0 : 0.0; }
    void cancelExport() override {}

    std::filesystem::path outputURL;
    std::string fileType;
    std::vector<MetadataItem> metadata;
    bool refusesLinkedFolder = false;
    bool inPlace = false;
    std::atomic<int> exportCalls{0};
    std::atomic<bool> done{false};

private:
    Outcome outcome_;
};

}  // namespace kelvatta::test
