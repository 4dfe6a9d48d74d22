#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/operation_queue.h"
#include "test_support.h"
#include "ui/content_view.h"

using namespace kelvatta;
using namespace kelvatta::test;

TEST(ContentView, StartsWithTheInitialValues)
{
    markMainThread();
    ContentView view;
    EXPECT_EQ(view.folderPath(), "");
    EXPECT_TRUE(view.filesToProcess().empty());
    EXPECT_EQ(view.progress(), 0);
    EXPECT_EQ(view.maxProgress(), 1);
    EXPECT_EQ(view.processingStatus(), "拖放文件或文件夹到下面区域，或点击选择文件夹");
    EXPECT_FALSE(view.showAlert());
    EXPECT_EQ(view.errorMessage(), std::nullopt);
    EXPECT_FALSE(view.showProgressBar());
    EXPECT_FALSE(view.saveAs());
    EXPECT_EQ(view.operationQueue().maxConcurrentOperationCount(), OperationQueue::defaultMaxConcurrentOperationCount);
    EXPECT_NE(view.videoProcessor(), nullptr);
}

TEST(ContentView, CopiesShareOneStorageAndEveryWriteIsAnnounced)
{
    markMainThread();
    ContentView view;
    ContentView copy = view;
    EXPECT_TRUE(copy.sharesStorageWith(view));
    EXPECT_FALSE(ContentView().sharesStorageWith(view));
    EXPECT_EQ(&copy.operationQueue(), &view.operationQueue());
    EXPECT_EQ(copy.videoProcessor(), view.videoProcessor());

    WriteLog writes(view);
    copy.setFolderPath("/f");
    copy.setFilesToProcess({"/f/a.mp4"});
    copy.setProgress(2);
    copy.setMaxProgress(5);
    copy.setProcessingStatus("s");
    copy.setShowAlert(true);
    copy.setErrorMessage("e");
    copy.setShowProgressBar(true);
    copy.setSaveAs(true);
    copy.setSaveAs(true);  // a write of the same value is announced too
    EXPECT_EQ(writes.fields,
              (std::vector<std::string>{"folderPath", "filesToProcess", "progress", "maxProgress", "processingStatus",
                                        "showAlert", "errorMessage", "showProgressBar", "saveAs", "saveAs"}));
    EXPECT_EQ(view.folderPath(), "/f");
    EXPECT_EQ(view.filesToProcess().size(), 1u);
    EXPECT_EQ(view.progress(), 2);
    EXPECT_EQ(view.maxProgress(), 5);
    EXPECT_EQ(view.processingStatus(), "s");
    EXPECT_TRUE(view.showAlert());
    EXPECT_EQ(view.errorMessage(), "e");
    EXPECT_TRUE(view.showProgressBar());
    EXPECT_TRUE(view.saveAs());
}

TEST(ContentView, AnObserverMayRemoveItselfWhileBeingNotified)
{
    markMainThread();
    ContentView view;
    int calls = 0;
    long token = 0;
    token = view.addObserver([&](std::string_view) {
        ++calls;
        view.removeObserver(token);
    });
    view.setProgress(1);
    view.setProgress(2);
    EXPECT_EQ(calls, 1);
}

TEST(ContentView, WeakHandleEndsWithTheLastCopy)
{
    markMainThread();
    ContentView::Weak weak;
    {
        ContentView view;
        weak = view.weak();
        auto locked = weak.lock();
        ASSERT_TRUE(locked.has_value());
        EXPECT_TRUE(locked->sharesStorageWith(view));
    }
    EXPECT_FALSE(weak.lock().has_value());
}
