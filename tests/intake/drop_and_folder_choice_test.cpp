#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "intake/drop_intake.h"
#include "intake/file_url.h"
#include "intake/folder_choice.h"
#include "intake_test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Loads on a thread of its own, once released (at once unless held).
class FakeProvider final : public ItemProvider {
public:
    explicit FakeProvider(Item item, std::optional<Error> error = std::nullopt, bool conforms = true)
        : item_(std::move(item)), error_(std::move(error)), conforms_(conforms)
    {
    }
    static std::shared_ptr<FakeProvider> url(const std::string& text)
    {
        return std::make_shared<FakeProvider>(Bytes(text.begin(), text.end()));
    }
    ~FakeProvider() override
    {
        release();
        if (thread_.joinable()) thread_.join();
    }

    bool hasItemConformingToTypeIdentifier(std::string_view type) const override
    {
        return conforms_ && type == kFileURLTypeIdentifier;
    }
    void loadItemForTypeIdentifier(std::string_view, LoadCompletion completion) override
    {
        loads++;
        thread_ = std::thread([this, completion = std::move(completion)] {
            {
                std::unique_lock lock(mutex_);
                releasedChanged_.wait(lock, [&] { return released_; });
            }
            completion(item_, error_);
            done = true;
        });
    }

    void hold() { released_ = false; }
    void release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        releasedChanged_.notify_all();
    }
    // Releases the load and waits until its completion has returned.
    void completeNow()
    {
        release();
        while (!done) std::this_thread::yield();
    }

    std::atomic<int> loads{0};
    std::atomic<bool> done{false};

private:
    Item item_;
    std::optional<Error> error_;
    bool conforms_;
    std::mutex mutex_;
    std::condition_variable releasedChanged_;
    bool released_ = true;
    std::thread thread_;
};

using Providers = std::vector<std::shared_ptr<ItemProvider>>;
using Drop = IntakeTest;

std::vector<std::string> withPrefix(const std::string& prefix, const std::vector<fs::path>& paths)
{
    std::vector<std::string> lines;
    for (const auto& path : paths) lines.push_back(prefix + path.string());
    return lines;
}

}  // namespace

TEST_F(Drop, ItemsGoToCollectionInTheOrderTheirLoadsEndWithLinksResolved)
{
    TempDir temp;
    makeTree(temp.path(), {"片段 一.MP4", "C0002.MP4", "C0003.mov"});
    fs::create_symlink(temp / "C0002.MP4", temp / "link.mp4");
    auto a = FakeProvider::url("file://" + temp.path().string() + "/%E7%89%87%E6%AE%B5%20%E4%B8%80.MP4");
    auto b = FakeProvider::url(fileURLText(temp / "link.mp4"));
    auto c = FakeProvider::url(fileURLText(temp / "C0003.mov"));
    for (auto& provider : {a, b, c}) provider->hold();

    EXPECT_TRUE(performDrop(view, {a, b, c}));
    for (auto& provider : {c, a, b}) provider->completeNow();
    ASSERT_TRUE(waitForHandOver());
    const std::vector<fs::path> expected = {temp / "C0003.mov", temp / "片段 一.MP4", temp / "C0002.MP4"};
    EXPECT_EQ(linesStartingWith(log, {"加载的文件 URL："}), withPrefix("加载的文件 URL：", expected));
    EXPECT_EQ(view.filesToProcess(), expected);
}

TEST_F(Drop, FailedItemsAreReportedEachAndTheOthersCarryOn)
{
    TempDir temp;
    makeTree(temp.path(), {"C0001.MP4"});
    struct ErrorMessages {
        explicit ErrorMessages(ContentView view) : view(std::move(view))
        {
            token = this->view.addObserver([this](std::string_view field) {
                if (field == "errorMessage") values.push_back(this->view.errorMessage());
            });
        }
        ~ErrorMessages() { view.removeObserver(token); }
        ContentView view;
        long token = 0;
        std::vector<std::optional<std::string>> values;
    } errorMessages(view);
    const std::string good = fileURLText(temp / "C0001.MP4");
    const std::vector<std::shared_ptr<FakeProvider>> providers = {
        std::make_shared<FakeProvider>(std::monostate{}, Error{"Provider", 1, "拒绝访问"}),
        std::make_shared<FakeProvider>(ItemProvider::OtherObject{"NSURL"}),
        FakeProvider::url("C0001.MP4"),  // relative: names no file of ours
        FakeProvider::url("file://camera/DCIM/C0001.MP4"),
        std::make_shared<FakeProvider>(ItemProvider::Bytes(good.begin(), good.end()), Error{"Provider", 2, "ignored"}),
    };
    for (auto& provider : providers) provider->hold();
    EXPECT_TRUE(handleDrop(view, Providers(providers.begin(), providers.end())));
    for (auto& provider : providers) provider->completeNow();
    ASSERT_TRUE(waitForHandOver());

    const std::vector<std::string> failures = {"无法加载文件: 拒绝访问", "无法加载文件: 未知错误", "无法加载文件: 未知错误",
                                               "无法加载文件: 未知错误"};
    auto expectedLines = failures;
    expectedLines.push_back("加载的文件 URL：" + (temp / "C0001.MP4").string());
    EXPECT_EQ(linesStartingWith(log, {"无法加载文件: ", "加载的文件 URL："}), expectedLines);
    // One report per failure, in order; then the batch of the item that loaded clears the line.
    std::vector<std::optional<std::string>> expectedMessages(failures.begin(), failures.end());
    expectedMessages.push_back(std::nullopt);
    EXPECT_EQ(errorMessages.values, expectedMessages);
    EXPECT_EQ(view.filesToProcess(), std::vector<fs::path>{temp / "C0001.MP4"});
}

TEST_F(Drop, RefusedDropsAndDropsWhereNothingLoadsStartNoCollection)
{
    auto clip = FakeProvider::url("file:///clips/C0001.MP4");
    auto text = std::make_shared<FakeProvider>(ItemProvider::Bytes{'h', 'i'}, std::nullopt, false);
    view.setShowProgressBar(true);
    writes.fields.clear();
    EXPECT_FALSE(performDrop(view, {clip}));
    view.setShowProgressBar(false);
    EXPECT_FALSE(performDrop(view, {text}));
    EXPECT_FALSE(performDrop(view, {}));
    EXPECT_EQ(clip->loads + text->loads, 0);

    auto failing = std::make_shared<FakeProvider>(std::monostate{});
    EXPECT_TRUE(performDrop(view, {failing}));
    ASSERT_TRUE(runUntil([&] { return view.showAlert(); }));
    MainRunLoop::drain();
    EXPECT_EQ(writes.fields, (std::vector<std::string>{"showProgressBar", "errorMessage", "showAlert"}));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"无法加载文件: 未知错误"});
}

// What the window hands over: the entries of a drop's text/uri-list. A folder, named directly or
// through a link, is searched even when its name looks like a clip's.
TEST_F(Drop, UriListEntriesBecomeProvidersAndFoldersAreSearched)
{
    TempDir temp;
    makeTree(temp.path(), {"拍摄.mp4/A001/C0001.MP4", "C0002.MOV"});
    fs::create_directory_symlink(temp / "拍摄.mp4", temp / "shortcut");
    const std::string uriList = "# dragged from the file manager\r\n" + fileURLText(temp / "C0002.MOV") +
                                "\r\nhttps://example.com/C0003.MP4\r\n" + "file://localhost" +
                                fileURLText(temp / "shortcut").substr(7) + "\r\n";
    const Providers providers = itemProvidersFromUriList(uriList);
    ASSERT_EQ(providers.size(), 3u);
    EXPECT_FALSE(providers[1]->hasItemConformingToTypeIdentifier(kFileURLTypeIdentifier));

    EXPECT_TRUE(handleDrop(view, providers));
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(sorted(linesStartingWith(log, {"加载的文件 URL："})),
              sorted(withPrefix("加载的文件 URL：", {temp / "C0002.MOV", temp / "拍摄.mp4"})));
    EXPECT_EQ(sorted(view.filesToProcess()), sorted({temp / "C0002.MOV", temp / "拍摄.mp4/A001/C0001.MP4"}));
}

TEST(FileURL, TextsThatNameALocalFileAndThoseThatDoNot)
{
    const std::vector<std::pair<std::string, fs::path>> local = {
        {"file:///a/b.mp4", "/a/b.mp4"},
        {" FILE://LocalHost/a%20b/%E7%89%87.MP4?x=1#t\r\n", "/a b/片.MP4"},
        {"file:/a/", "/a/"},
        {"file:///", "/"},
    };
    for (const auto& [text, path] : local) EXPECT_EQ(fileURLPath(text), path) << text;
    for (const std::string text : {"/a/b.mp4", "C0001.MP4", "https://h/a.mp4", "file://camera/a.mp4", "file:a.mp4",
                                   "file://", "file:///a%2", "file:///a%zz.mp4", "file:///a%00.mp4", ""})
        EXPECT_EQ(fileURLPath(text), std::nullopt) << text;

    const fs::path odd = "/片段 #1?/100%/\t'x'.MP4";
    EXPECT_EQ(fileURLPath(fileURLText(odd)), odd);
    EXPECT_EQ(urlPath("/a/b/"), "/a/b");
    EXPECT_EQ(urlPath("/"), "/");
}

namespace {

class FakePanel final : public FolderPanel {
public:
    FakePanel(std::vector<std::string>& calls, Response response, std::optional<fs::path> url)
        : calls_(calls), response_(response), url_(std::move(url))
    {
    }
    void setCanChooseDirectories(bool value) override { calls_.push_back("directories " + std::to_string(value)); }
    void setCanChooseFiles(bool value) override { calls_.push_back("files " + std::to_string(value)); }
    void setAllowsMultipleSelection(bool value) override { calls_.push_back("multiple " + std::to_string(value)); }
    Response runModal() override
    {
        calls_.push_back("run");
        return response_;
    }
    std::optional<fs::path> URL() const override { return url_; }

private:
    std::vector<std::string>& calls_;
    Response response_;
    std::optional<fs::path> url_;
};

using FolderChoice = IntakeTest;

}  // namespace

TEST_F(FolderChoice, CancelOrNoFolderChangesNothing)
{
    std::vector<std::string> calls;
    selectFolder(view, [&] { return std::make_unique<FakePanel>(calls, FolderPanel::Response::cancel, "/clips"); });
    selectFolder(view, [&] { return std::make_unique<FakePanel>(calls, FolderPanel::Response::ok, std::nullopt); });
    MainRunLoop::drain();
    const std::vector<std::string> once = {"directories 1", "files 0", "multiple 0", "run"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(calls, twice);
    EXPECT_TRUE(writes.fields.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(FolderChoice, ChosenFolderIsRecordedPrintedAndSearched)
{
    TempDir temp;
    makeTree(temp.path(), {"选择 目录.mov/A001/C0001.MP4"});
    std::vector<std::string> calls;
    const fs::path folder = temp / "选择 目录.mov";  // as the dialog gives it: no trailing separator
    selectFolder(view, [&] { return std::make_unique<FakePanel>(calls, FolderPanel::Response::ok, folder); });
    EXPECT_EQ(view.folderPath(), folder.string());
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(log.lines().at(0), "选择的文件夹路径：" + folder.string());
    EXPECT_EQ(view.filesToProcess(), std::vector<fs::path>{folder / "A001/C0001.MP4"});
}
