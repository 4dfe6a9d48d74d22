#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/operation_queue.h"
#include "test_support.h"

using namespace kelvatta;
using namespace kelvatta::test;

TEST(ContentView, InitialValues)
{
    markMainThread();
    ContentView view;
    EXPECT_TRUE(view.folderPath().empty() && view.filesToProcess().empty());
    EXPECT_EQ(view.progress(), 0);
    EXPECT_EQ(view.maxProgress(), 1);
    EXPECT_EQ(view.processingStatus(), "拖放文件或文件夹到下面区域，或点击选择文件夹");
    EXPECT_FALSE(view.showAlert() || view.errorMessage() || view.showProgressBar() || view.saveAs());
    EXPECT_NE(view.videoProcessor(), nullptr);
}

TEST(ContentView, CopiesShareOneStorageEveryWriteIsAnnouncedAndWeakHandlesEndWithIt)
{
    markMainThread();
    ContentView::Weak weak;
    {
        ContentView view;
        ContentView copy = view;
        weak = view.weak();
        EXPECT_TRUE(copy.sharesStorageWith(view) && weak.lock()->sharesStorageWith(view));
        EXPECT_FALSE(ContentView().sharesStorageWith(view));
        EXPECT_EQ(&copy.operationQueue(), &view.operationQueue());

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
        copy.setSaveAs(true);  // the same value again is a write too
        EXPECT_EQ(writes.fields, (std::vector<std::string>{"folderPath", "filesToProcess", "progress", "maxProgress",
                                                           "processingStatus", "showAlert", "errorMessage",
                                                           "showProgressBar", "saveAs", "saveAs"}));
        EXPECT_EQ(view.folderPath(), "/f");
        EXPECT_EQ(view.filesToProcess().size(), 1u);
        EXPECT_EQ(view.progress() * 10 + view.maxProgress(), 25);
        EXPECT_EQ(view.processingStatus(), "s");
        EXPECT_EQ(view.errorMessage(), "e");
        EXPECT_TRUE(view.showAlert() && view.showProgressBar() && view.saveAs());
    }
    EXPECT_FALSE(weak.lock().has_value());
}
