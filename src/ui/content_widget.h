// The window's content: the drop zone with its choose-folder button (and, while the files the window
// was opened with wait, what they are and the button that starts them), the save-as check box, the
// progress block and, in one place, the error line or the line that says a batch is done (each only
// while there is something to show), and the footer.
// It is drawn from ContentView's state and redrawn after every write of it.
#pragma once

#include <QUrl>
#include <QWidget>
#include <vector>

#include "intake/folder_choice.h"
#include "state/content_view.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace kelvatta::ui {

class ElidedLabel;
class LinkLine;

// The user guide the link line opens: the page installed with the program (share/doc/kelvatta beside
// its bin), or for a program run from its build folder (src/app, or tests/ui for the window's tests)
// the one the build laid out there (data/, with the pictures it shows).
QUrl userGuidePage();

class ContentWidget : public QWidget {
public:
    ContentWidget(ContentView view, FolderPanelFactory makePanel, QUrl userGuide = userGuidePage(),
                  QWidget* parent = nullptr);
    ~ContentWidget() override;

    const ContentView& view() const { return view_; }

protected:
    // The first time the content appears, the batch run sizes its queue.
    void showEvent(QShowEvent* event) override;
    // A new palette (a dark one from the desktop, say) gets text colours that stay readable on it.
    void changeEvent(QEvent* event) override;

private:
    void refresh();
    void applyTextColors();

    ContentView view_;
    FolderPanelFactory makePanel_;
    long observerToken_ = 0;
    bool appeared_ = false;
    bool wasWaiting_ = false;

    QWidget* dropZone_ = nullptr;
    QLabel* dropHint_ = nullptr;
    QLabel* orLabel_ = nullptr;
    ElidedLabel* openedLine_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* chooseFolderButton_ = nullptr;
    QCheckBox* saveAsToggle_ = nullptr;
    QWidget* progressBlock_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressText_ = nullptr;
    ElidedLabel* errorLine_ = nullptr;
    ElidedLabel* doneLine_ = nullptr;
    LinkLine* linkLine_ = nullptr;
    std::vector<QLabel*> grayOnZone_, grayOnWindow_;
};

}  // namespace kelvatta::ui
