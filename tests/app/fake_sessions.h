// Export sessions whose end the test controls, for the program's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/export_session.h"
#include "support/temp_dir.h"
#include "timecode/video_processor.h"

namespace kelvatta::test {

namespace fs = std::filesystem;
// Sessions that "export" on a thread of their own: a session whose source holds "slow" runs until
// cancelled; others write "rewritten" to the output and complete at once.
class FakeSessions {
public:
    class Session final : public ExportSession, public std::enable_shared_from_this<Session> {
    public:
        Session(FakeSessions& owner, fs::path source) : owner_(owner), source_(std::move(source)) {}
        void setOutputURL(fs::path url) override { output_ = std::move(url); }
        void setOutputFileType(std::string) override {}
        void setMetadata(std::vector<MetadataItem>) override {}
        void setRefusesLinkedOutputFolder(bool) override {}
        void setInPlace(bool) override {}
        void exportAsynchronously(std::function<void()> handler) override
        {
            ++owner_.started;
            std::thread([self = shared_from_this(), handler = std::move(handler)] {
                const bool slow = self->source_.filename().string().find("slow") != std::string::npos;
                while (slow && !self->cancelled_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (self->cancelled_) {
                    self->status_ = 5;
                } else {
                    writeFile(self->output_, "rewritten");
                    self->status_ = 3;
                }
                handler();
            }).detach();
        }
        std::optional<Error> error() const override { return std::nullopt; }
        long status() const override { return status_; }
        double progress() const override { return 0.5; }
        void cancelExport() override { cancelled_ = true; }

    private:
        FakeSessions& owner_;
        fs::path source_, output_;
        std::atomic<bool> cancelled_{false};
        std::atomic<long> status_{2};
    };

    VideoProcessor::SessionFactory factory()
    {
        return [this](const fs::path& source, std::string_view) { return std::make_shared<Session>(*this, source); };
    }
    std::atomic<int> started{0};
};

}  // namespace kelvatta::test
