// Export sessions whose end the test chooses, from a factory that VideoProcessor (and so the batch,
// the command line and the window) takes in place of the program's. Each ends by writing "rewritten"
// to its output and completing: at once, or, while `hold` is set, when the test releases it (as it
// says) or cancels it (status cancelled, nothing written).
#pragma once

#include <condition_variable>
#include <thread>

#include "support/temp_dir.h"
#include "rewrite/video_processor.h"

namespace kelvatta::test {

class FakeSessions {
public:
    struct Ending {
        std::optional<Error> error{};
        ExportStatus status = ExportStatus::completed;
        std::string bytes = "rewritten";  // written to the output; nothing when empty
        AlreadyDone done = AlreadyDone::no;
    };
    bool hold = false;
    std::function<bool(const fs::path&)> refuse;  // sources that get no session (VideoProcessor fails them at once)

    VideoProcessor::SessionFactory factory()
    {
        return [this](const fs::path& source, std::string_view) -> std::shared_ptr<ExportSession> {
            return refuse && refuse(source) ? nullptr : std::make_shared<Session>(state_, source, hold);
        };
    }
    static Ending failure() { return {Error{"Export", 1, "坏文件"}, ExportStatus::failed, ""}; }
    // Ends the earliest held session whose source is named `name` (any when empty). False when none is held.
    bool release(const fs::path& name = {}) { return release(name, Ending()); }
    bool fail(const fs::path& name = {}) { return release(name, failure()); }
    bool release(const fs::path& name, Ending as)
    {
        std::lock_guard lock(state_->mutex);
        auto& held = state_->held;
        const auto named = [&](Session* s) { return name.empty() || name == s->source_.filename(); };
        const auto it = std::ranges::find_if(held, named);
        if (it == held.end()) return false;
        (*it)->ending_ = std::move(as);
        (*it)->released_ = true;
        held.erase(it);
        state_->changed.notify_all();
        return true;
    }
    // The sources whose exports started, in that order; how many are held; the most that ran at once.
    std::vector<fs::path> started() const { return read(&State::started); }
    size_t held() const { return read(&State::held).size(); }
    int maxRunning() const { return read(&State::maxRunning); }

private:
    class Session;
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<fs::path> started;
        std::vector<Session*> held;
        int running = 0, maxRunning = 0;
    };

    class Session final : public ExportSession, public std::enable_shared_from_this<Session> {
    public:
        Session(std::shared_ptr<State> state, fs::path source, bool hold)
            : state_(std::move(state)), source_(std::move(source)), hold_(hold)
        {
        }
        void setOutputURL(fs::path url) override { output_ = std::move(url); }
        void setMP4OutputURL(fs::path) override {}
        void setOutputFileType(std::string) override {}
        void setMetadata(std::vector<MetadataItem>) override {}
        void setRefusesLinkedOutputFolder(bool) override {}
        void setInPlace(bool) override {}
        void setKeepsSource(bool) override {}
        std::optional<Error> error() const override { return error_; }
        long status() const override { return status_; }
        fs::path writtenURL() const override { return output_; }
        std::optional<struct stat> sourceStatus() const override { return read_; }
        AlreadyDone alreadyDone() const override { return done_; }
        double progress() const override { return 0.5; }
        void cancelExport() override
        {
            std::lock_guard lock(state_->mutex);
            cancelled_ = true;
            state_->changed.notify_all();
        }
        void exportAsynchronously(std::function<void()> handler) override
        {
            std::lock_guard lock(state_->mutex);
            state_->started.push_back(source_);
            state_->maxRunning = std::max(state_->maxRunning, ++state_->running);
            if (hold_) state_->held.push_back(this);
            std::thread([self = shared_from_this(), handler = std::move(handler)]() mutable {
                Session& s = *self;
                Ending end;
                if (struct stat st{}; ::stat(s.source_.c_str(), &st) == 0) s.read_ = st;
                {
                    std::unique_lock lock(s.state_->mutex);
                    s.state_->changed.wait(lock, [&] { return !s.hold_ || s.released_ || s.cancelled_; });
                    std::erase(s.state_->held, &s);
                    --s.state_->running;
                    end = s.released_ || !s.hold_ ? s.ending_ : Ending{{}, ExportStatus::cancelled, ""};
                }
                if (!end.bytes.empty()) {  // dated as the source, as an export does
                    writeFile(s.output_, end.bytes);
                    std::error_code ignored;
                    fs::last_write_time(s.output_, fs::last_write_time(s.source_, ignored), ignored);
                }
                s.error_ = end.error;
                s.done_ = end.done;
                s.status_ = static_cast<long>(end.status);
                handler();
                handler = nullptr;
            }).detach();
        }

    private:
        friend class FakeSessions;
        std::shared_ptr<State> state_;
        fs::path source_, output_;
        Ending ending_;
        bool hold_, released_ = false, cancelled_ = false;
        std::optional<Error> error_;
        std::optional<struct stat> read_;
        std::atomic<AlreadyDone> done_{AlreadyDone::no};
        std::atomic<long> status_{static_cast<long>(ExportStatus::exporting)};
    };

    template <typename T>
    T read(T State::*field) const
    {
        std::lock_guard lock(state_->mutex);
        return (*state_).*field;
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace kelvatta::test
