#include <gtest/gtest.h>

#include <thread>

#include "intake/drop_intake.h"
#include "intake/file_url.h"
#include "intake/folder_choice.h"
#include "intake_test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

namespace {

// Keeps the completion of a load until the test delivers the item.
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
    bool hasItemConformingToTypeIdentifier(std::string_view type) const override
    {
        return conforms_ && type == kFileURLTypeIdentifier;
    }
    void loadItemForTypeIdentifier(std::string_view, LoadCompletion completion) override
    {
        completion_ = std::move(completion);
    }
    // Calls the completion on a thread of its own and waits for it to return.
    void deliver()
    {
        std::thread([this] { completion_(item_, error_); }).join();
    }
    bool loading() const { return static_cast<bool>(completion_); }

private:
    Item item_;
    std::optional<Error> error_;
    bool conforms_;
    LoadCompletion completion_;
};

using Drop = IntakeTest;

}  // namespace

TEST_F(Drop, ItemsGoToCollectionInTheOrderTheirLoadsEndWithLinksResolved)
{
    TempDir temp;
    makeTree(temp.path(), {"片段 一.MP4", "C0002.MP4", "C0003.mov"});
    fs::create_symlink(temp / "C0002.MP4", temp / "link.mp4");
    auto a = FakeProvider::url("file://" + temp.path().string() + "/%E7%89%87%E6%AE%B5%20%E4%B8%80.MP4");
    auto b = FakeProvider::url(fileURLText(temp / "link.mp4"));
    auto c = FakeProvider::url(fileURLText(temp / "C0003.mov"));

    EXPECT_TRUE(performDrop(view, {a, b, c}));
    for (auto& provider : {c, a, b}) provider->deliver();
    ASSERT_TRUE(waitForHandOver());
    const std::vector<fs::path> expected = {temp / "C0003.mov", temp / "片段 一.MP4", temp / "C0002.MP4"};
    EXPECT_EQ(linesStartingWith(log, {"加载的文件 URL："}), lines("加载的文件 URL：", expected));
    EXPECT_EQ(view.filesToProcess(), expected);
}

TEST_F(Drop, FailedItemsAreReportedEachAndTheOthersCarryOn)
{
    TempDir temp;
    makeTree(temp.path(), {"C0001.MP4"});
    const std::string good = fileURLText(temp / "C0001.MP4");
    const std::vector<std::shared_ptr<FakeProvider>> providers = {
        std::make_shared<FakeProvider>(std::monostate{}, Error{"Provider", 1, "拒绝访问"}),
        std::make_shared<FakeProvider>(ItemProvider::OtherObject{"NSURL"}),
        FakeProvider::url("C0001.MP4"),  // relative: names no file of ours
        FakeProvider::url("file://camera/DCIM/C0001.MP4"),
        std::make_shared<FakeProvider>(ItemProvider::Bytes(good.begin(), good.end()), Error{"Provider", 2, "ignored"}),
    };
    EXPECT_TRUE(handleDrop(view, {providers.begin(), providers.end()}));
    for (auto& provider : providers) provider->deliver();
    ASSERT_TRUE(waitForHandOver());

    EXPECT_EQ(linesStartingWith(log, {"无法加载文件：", "加载的文件 URL："}),
              (std::vector<std::string>{"无法加载文件：拒绝访问", "无法加载文件：未知错误", "无法加载文件：未知错误",
                                        "无法加载文件：未知错误", "加载的文件 URL：" + (temp / "C0001.MP4").string()}));
    // Each failure sets the error line before the batch of what did load starts.
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(writes.fields.at(i), i % 2 ? "showAlert" : "errorMessage");
    EXPECT_EQ(writes.fields.at(8), "filesToProcess");
    EXPECT_EQ(view.filesToProcess(), std::vector<fs::path>{temp / "C0001.MP4"});
}

TEST_F(Drop, RefusedDropsAndDropsWhereNothingLoadsStartNoCollection)
{
    auto clip = FakeProvider::url("file:///clips/C0001.MP4");
    auto text = std::make_shared<FakeProvider>(ItemProvider::Bytes{'h', 'i'}, std::nullopt, false);
    view.setShowProgressBar(true);
    EXPECT_FALSE(performDrop(view, {clip}));
    view.setShowProgressBar(false);
    EXPECT_FALSE(performDrop(view, {text}));
    EXPECT_FALSE(performDrop(view, {}));
    EXPECT_FALSE(clip->loading() || text->loading());

    auto failing = std::make_shared<FakeProvider>(std::monostate{});
    EXPECT_TRUE(performDrop(view, {failing}));
    failing->deliver();
    MainRunLoop::drain();
    EXPECT_EQ(writes.fields, (std::vector<std::string>{"showProgressBar", "showProgressBar", "errorMessage", "showAlert"}));
    EXPECT_EQ(view.errorMessage(), "无法加载文件：未知错误");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"无法加载文件：未知错误"});
}

// What the window hands over: the entries of a drop's text/uri-list. A folder, named directly or
// through a link, is searched even when its name looks like a clip's.
TEST_F(Drop, UriListEntriesBecomeProvidersAndFoldersAreSearched)
{
    TempDir temp;
    makeTree(temp.path(), {"拍摄.mp4/A001/C0001.MP4", "C0002.MOV"});
    fs::create_directory_symlink(temp / "拍摄.mp4", temp / "shortcut");
    const std::string uriList = "# from the file manager\r\n" + fileURLText(temp / "C0002.MOV") +
                                "\r\nhttps://example.com/C0003.MP4\r\nfile://localhost" +
                                fileURLText(temp / "shortcut").substr(7) + "\r\n";
    const auto providers = itemProvidersFromUriList(uriList);
    ASSERT_EQ(providers.size(), 3u);
    EXPECT_FALSE(providers[1]->hasItemConformingToTypeIdentifier(kFileURLTypeIdentifier));

    EXPECT_TRUE(handleDrop(view, providers));
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(sorted(linesStartingWith(log, {"加载的文件 URL："})),
              sorted(lines("加载的文件 URL：", {temp / "C0002.MOV", temp / "拍摄.mp4"})));
    EXPECT_EQ(sorted(view.filesToProcess()), sorted<fs::path>({temp / "C0002.MOV", temp / "拍摄.mp4/A001/C0001.MP4"}));
}

TEST(FileURL, TextsThatNameALocalFileAndThoseThatDoNot)
{
    EXPECT_EQ(fileURLPath("file:///a/b.mp4"), "/a/b.mp4");
    EXPECT_EQ(fileURLPath(" FILE://LocalHost/a%20b/%E7%89%87.MP4?x=1#t\r\n"), "/a b/片.MP4");
    EXPECT_EQ(fileURLPath("file:/a/"), "/a/");
    for (const std::string text : {"/a/b.mp4", "C0001.MP4", "https://h/a.mp4", "file://camera/a.mp4", "file:a.mp4",
                                   "file://", "file:///a%2", "file:///a%zz.mp4", "file:///a%00.mp4", ""})
        EXPECT_EQ(fileURLPath(text), std::nullopt) << text;
    const fs::path odd = "/片段 #1?/100%/\t'x'.MP4";
    EXPECT_EQ(fileURLPath(fileURLText(odd)), odd);
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
    Response runModal() override { return response_; }
    std::optional<fs::path> URL() const override { return url_; }

private:
    std::vector<std::string>& calls_;
    Response response_;
    std::optional<fs::path> url_;
};

using FolderChoice = IntakeTest;

}  // namespace

TEST_F(FolderChoice, CancelChangesNothingAndAChosenFolderIsRecordedPrintedAndSearched)
{
    TempDir temp;
    makeTree(temp.path(), {"选择 目录.mov/A001/C0001.MP4"});
    const fs::path folder = temp / "选择 目录.mov";  // as the dialog gives it: no trailing separator
    std::vector<std::string> calls;
    const auto panel = [&](FolderPanel::Response response, std::optional<fs::path> url) {
        return [&, response, url] { return std::make_unique<FakePanel>(calls, response, url); };
    };
    selectFolder(view, panel(FolderPanel::Response::cancel, folder));
    selectFolder(view, panel(FolderPanel::Response::ok, std::nullopt));
    MainRunLoop::drain();
    EXPECT_TRUE(writes.fields.empty());
    EXPECT_TRUE(log.lines().empty());

    selectFolder(view, panel(FolderPanel::Response::ok, folder));
    EXPECT_EQ(calls.size(), 9u);
    EXPECT_EQ(std::vector(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"directories 1", "files 0", "multiple 0"}));
    EXPECT_EQ(view.folderPath(), folder.string());
    ASSERT_TRUE(waitForHandOver());
    EXPECT_EQ(log.lines().at(0), "选择的文件夹路径：" + folder.string());
    EXPECT_EQ(view.filesToProcess(), std::vector<fs::path>{folder / "A001/C0001.MP4"});
}
