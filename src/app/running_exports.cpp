#include "app/running_exports.h"

#include <algorithm>

namespace kelvatta {

// Passes everything to the session it wraps and tells the registry when the export starts and ends.
class RunningExports::TrackedSession final : public ExportSession {
public:
    TrackedSession(std::shared_ptr<ExportSession> inner, std::shared_ptr<RunningExports> registry, long id)
        : inner_(std::move(inner)), registry_(std::move(registry)), id_(id)
    {
    }
    ~TrackedSession() override { registry_->forget(id_); }

    void setOutputURL(std::filesystem::path url) override { inner_->setOutputURL(std::move(url)); }
    void setMP4OutputURL(std::filesystem::path url) override { inner_->setMP4OutputURL(std::move(url)); }
    void setOutputFileType(std::string fileType) override { inner_->setOutputFileType(std::move(fileType)); }
    void setMetadata(std::vector<MetadataItem> items) override { inner_->setMetadata(std::move(items)); }
    void setRefusesLinkedOutputFolder(bool refuses) override { inner_->setRefusesLinkedOutputFolder(refuses); }
    void setInPlace(bool inPlace) override { inner_->setInPlace(inPlace); }
    void setKeepsSource(bool keeps) override { inner_->setKeepsSource(keeps); }

    void exportAsynchronously(std::function<void()> handler) override
    {
        registry_->markStarted(id_);
        inner_->exportAsynchronously(
            [inner = std::weak_ptr(inner_), registry = registry_, id = id_, handler = std::move(handler)] {
                if (auto session = inner.lock(); session && session->rtmdTimecodesKept()) registry->noteRtmdKept(id);
                registry->forget(id);
                handler();
            });
    }

    std::optional<Error> error() const override { return inner_->error(); }
    long status() const override { return inner_->status(); }
    std::filesystem::path writtenURL() const override { return inner_->writtenURL(); }
    std::optional<struct stat> sourceStatus() const override { return inner_->sourceStatus(); }
    double progress() const override { return inner_->progress(); }
    bool rtmdTimecodesKept() const override { return inner_->rtmdTimecodesKept(); }
    AlreadyDone alreadyDone() const override { return inner_->alreadyDone(); }
    EarlierInPlace earlierInPlace() const override { return inner_->earlierInPlace(); }
    void cancelExport() override { inner_->cancelExport(); }

private:
    const std::shared_ptr<ExportSession> inner_;
    const std::shared_ptr<RunningExports> registry_;
    const long id_;
};

VideoProcessor::SessionFactory RunningExports::sessionFactory(VideoProcessor::SessionFactory inner)
{
    return [registry = shared_from_this(), inner = std::move(inner)](
               const std::filesystem::path& source, std::string_view preset) -> std::shared_ptr<ExportSession> {
        std::shared_ptr<ExportSession> session = inner ? inner(source, preset) : nullptr;
        if (!session) return nullptr;
        long id = 0;
        {
            std::lock_guard lock(registry->mutex_);
            id = registry->nextId_++;
            registry->entries_.push_back(Entry{id, source, session, false});
            // Cancelled before it starts: it ends at once, having written nothing.
            if (registry->cancelled_) session->cancelExport();
        }
        return std::make_shared<TrackedSession>(std::move(session), registry, id);
    };
}

std::vector<RunningExports::Export> RunningExports::running() const
{
    std::vector<Export> out;
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (!entry.started) continue;
        if (auto session = entry.session.lock()) out.push_back(Export{entry.source, session->progress()});
    }
    return out;
}

void RunningExports::cancelAll()
{
    std::vector<std::shared_ptr<ExportSession>> sessions;
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        for (const auto& entry : entries_)
            if (auto session = entry.session.lock()) sessions.push_back(std::move(session));
    }
    for (const auto& session : sessions) session->cancelExport();
}

void RunningExports::markStarted(long id)
{
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_)
        if (entry.id == id) entry.started = true;
}

std::vector<std::filesystem::path> RunningExports::rtmdKept() const
{
    std::lock_guard lock(mutex_);
    return rtmdKept_;
}

void RunningExports::noteRtmdKept(long id)
{
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_)
        if (entry.id == id) rtmdKept_.push_back(entry.source);
}

void RunningExports::forget(long id)
{
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
}

}  // namespace kelvatta
