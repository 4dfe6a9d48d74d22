#include "ui/content_widget.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <utility>

#include "intake/file_url.h"
#include "intake/opened_files.h"
#include "operations/batch_run.h"
#include "ui/drop_zone.h"
#include "ui/elided_label.h"
#include "ui/folder_icon.h"
#include "ui/link_line.h"
#include "ui/style.h"
#include "state/texts.h"

namespace kelvatta::ui {
namespace {

constexpr int kColumnSpacing = 20;
constexpr int kFooterSpacing = 5;
constexpr int kSideMargin = 50;  // of the check box and the progress bar
constexpr int kBarSteps = 10000;

QString fromUtf8(const char* utf8) { return QString::fromUtf8(utf8); }
QString fromUtf8(const std::string& utf8) { return QString::fromStdString(utf8); }

void setTextColor(QWidget* widget, const QColor& color, QPalette::ColorRole role = QPalette::WindowText)
{
    QPalette palette = widget->palette();
    // Only the enabled look: a disabled widget keeps the style's greyed colours.
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
    widget->setPalette(palette);
}

// A label that shows its text as written, never as markup: messages carry file names.
QLabel* makeLabel(const QString& content, const QFont& font, const char* name)
{
    auto* label = new QLabel(content);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QFont underlined(QFont font)
{
    font.setUnderline(true);
    return font;
}

// The widget inside side margins of the given width.
QWidget* withSideMargins(QWidget* widget, int margin, Qt::Alignment alignment = {})
{
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(margin, 0, margin, 0);
    layout->addWidget(widget, 0, alignment);
    return box;
}

// Return and Enter click the button that has the focus, as Space does (Qt's buttons take them only
// inside a dialog). On a check box they click the default button instead, while it is shown, as in a
// dialog: the start of the files the window was opened with, which may wait for a tick first.
class ReturnClicks final : public QObject {
public:
    ReturnClicks(QObject* parent, QAbstractButton* defaultButton) : QObject(parent), default_(defaultButton) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || key->isAutoRepeat()) return false;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (!button || !button->isEnabled()) return false;
        if (qobject_cast<QCheckBox*>(button) && default_->isVisible() && default_->isEnabled()) button = default_;
        button->click();
        return true;
    }

private:
    QAbstractButton* default_;
};

}  // namespace

QUrl userGuidePage()
{
    // Found from where the program lies, never from where it was built: the program holds no path of
    // the machine that built it, and two builds of one source differ in nothing.
    const QString programs = QCoreApplication::applicationDirPath();
    const QString installed = programs + QStringLiteral("/../share/doc/kelvatta/user-guide.html");
    const bool inBuildFolder = QFileInfo::exists(programs + QStringLiteral("/../../CMakeCache.txt"));
    const QString page = inBuildFolder && !QFileInfo::exists(installed)
                             ? programs + QStringLiteral("/../../data/user-guide.html")
                             : installed;
    return QUrl::fromLocalFile(QDir::cleanPath(page));
}

ContentWidget::ContentWidget(ContentView view, FolderPanelFactory makePanel, QUrl userGuide, QWidget* parent)
    : QWidget(parent), view_(std::move(view)), makePanel_(std::move(makePanel))
{
    setFixedSize(kWindowWidth, kWindowHeight);
    setFont(bodyFont());
    // The start of the files the window was opened with, shown only while they wait.
    startButton_ = new QPushButton(fromUtf8(kStartProcessing));
    startButton_->setObjectName(QStringLiteral("startButton"));
    startButton_->setAccessibleName(fromUtf8(kStartProcessing));
    auto* returnClicks = new ReturnClicks(this, startButton_);

    // The drop zone and what it holds.
    dropZone_ = new DropZone(view_);
    dropZone_->setObjectName(QStringLiteral("dropZone"));
    dropZone_->setAccessibleName(fromUtf8(kDropZoneName));
    dropZone_->setAccessibleDescription(fromUtf8(kDropZoneDescription));
    auto* zoneContent = new QVBoxLayout(dropZone_);
    zoneContent->setContentsMargins(0, 0, 0, 0);
    zoneContent->setSpacing(kDefaultSpacing);
    zoneContent->addStretch();
    zoneContent->addWidget(new FolderIcon(kFolderIconSize, blueColor()), 0, Qt::AlignHCenter);
    // While opened files wait, the line that says what they are takes the hint's place, and the start
    // button stands beside the choose-folder button.
    dropHint_ = makeLabel(fromUtf8(kDropHint), headlineFont(), "dropHint");
    orLabel_ = makeLabel(fromUtf8(kOr), subheadlineFont(), "orLabel");
    openedLine_ = new ElidedLabel;
    openedLine_->setObjectName(QStringLiteral("openedLine"));
    openedLine_->setFont(headlineFont());
    openedLine_->setAlignment(Qt::AlignCenter);
    openedLine_->setMargin(kDefaultSpacing);
    openedLine_->setToolTipWidth(kWindowWidth);
    grayOnZone_ = {dropHint_, openedLine_, orLabel_};
    for (QLabel* label : grayOnZone_) zoneContent->addWidget(label);
    chooseFolderButton_ = new QPushButton(fromUtf8(kChooseFolder));
    chooseFolderButton_->setObjectName(QStringLiteral("chooseFolderButton"));
    chooseFolderButton_->setAccessibleName(fromUtf8(kChooseFolder));
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(kDefaultSpacing);
    for (QPushButton* button : {startButton_, chooseFolderButton_}) {
        button->setFont(underlined(subheadlineFont()));
        button->installEventFilter(returnClicks);
        buttons->addWidget(button);
    }
    zoneContent->addLayout(buttons);
    zoneContent->setAlignment(buttons, Qt::AlignHCenter);
    zoneContent->addStretch();
    connect(startButton_, &QPushButton::clicked, this, [this] { startOpenedFiles(view_); });
    connect(chooseFolderButton_, &QPushButton::clicked, this, [this] { selectFolder(view_, makePanel_); });

    saveAsToggle_ = new QCheckBox(fromUtf8(kSaveAsToggle));
    saveAsToggle_->setObjectName(QStringLiteral("saveAsToggle"));
    saveAsToggle_->setAccessibleName(fromUtf8(kSaveAsToggle));
    saveAsToggle_->installEventFilter(returnClicks);
    connect(saveAsToggle_, &QCheckBox::toggled, this, [this](bool checked) {
        if (view_.saveAs() != checked) view_.setSaveAs(checked);
    });

    progressBar_ = new QProgressBar;
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setAccessibleName(fromUtf8(kProgressName));
    progressBar_->setRange(0, kBarSteps);
    progressBar_->setTextVisible(false);
    progressText_ = makeLabel(QString(), subheadlineFont(), "progressText");
    progressBlock_ = new QWidget;
    progressBlock_->setObjectName(QStringLiteral("progressBlock"));
    auto* progressLayout = new QVBoxLayout(progressBlock_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(kDefaultSpacing);
    progressLayout->addWidget(withSideMargins(progressBar_, kSideMargin));
    progressLayout->addWidget(progressText_);

    // The error line, and in its place after a batch without a failure the line that says so, in
    // the window's own text colour.
    for (auto [line, name] : {std::pair(&errorLine_, "errorLine"), std::pair(&doneLine_, "doneLine")}) {
        *line = new ElidedLabel;
        (*line)->setObjectName(QString::fromLatin1(name));
        (*line)->setFont(bodyFont());
        (*line)->setAlignment(Qt::AlignCenter);
        (*line)->setMargin(kDefaultPadding);
        (*line)->setToolTipWidth(kWindowWidth);
    }

    auto* column = new QVBoxLayout;
    column->setSpacing(kColumnSpacing);
    column->addWidget(dropZone_, 0, Qt::AlignHCenter);
    column->addWidget(withSideMargins(saveAsToggle_, kSideMargin, Qt::AlignHCenter));
    column->addWidget(progressBlock_);
    column->addWidget(errorLine_);
    column->addWidget(doneLine_);
    column->addStretch();

    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(20, 0, 20, 10);
    footer->setSpacing(kFooterSpacing);
    QLabel* credit = makeLabel(fromUtf8(kCreditLine), footnoteFont(), "creditLine");
    QLabel* warning = makeLabel(fromUtf8(kWarning), footnoteFont(), "warning");
    grayOnWindow_ = {progressText_, credit, warning};
    linkLine_ = new LinkLine(std::move(userGuide));
    linkLine_->installEventFilter(returnClicks);
    footer->addWidget(credit);
    footer->addWidget(linkLine_, 0, Qt::AlignHCenter);  // only the text itself reacts
    footer->addWidget(warning);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding, kDefaultPadding);
    root->setSpacing(kColumnSpacing);
    root->addLayout(column, 1);
    root->addLayout(footer);

    applyTextColors();
    observerToken_ = view_.addObserver([this](std::string_view) { refresh(); });
    refresh();
}

ContentWidget::~ContentWidget() { view_.removeObserver(observerToken_); }

void ContentWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (appeared_) return;
    appeared_ = true;
    setupOperationQueue(view_);
}

void ContentWidget::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applyTextColors();
}

void ContentWidget::applyTextColors()
{
    const QColor window = palette().color(QPalette::Window);
    const QColor zone = dropZoneFill(window);
    for (QLabel* label : grayOnZone_) setTextColor(label, readableOn(grayColor(), zone));
    for (QLabel* label : grayOnWindow_) setTextColor(label, readableOn(grayColor(), window));
    for (QPushButton* button : {startButton_, chooseFolderButton_})
        setTextColor(button, readableOn(blueColor(), palette().color(QPalette::Button)), QPalette::ButtonText);
    setTextColor(errorLine_, readableOn(redColor(), window));
    linkLine_->setColors(readableOn(blueColor(), window), readableOn(redColor(), window));
}

void ContentWidget::refresh()
{
    const bool locked = !view_.takesInput();
    chooseFolderButton_->setEnabled(!locked);
    startButton_->setEnabled(!locked);
    const auto& opened = view_.openedFiles();
    const bool waiting = !opened.empty();
    dropHint_->setVisible(!waiting);
    orLabel_->setVisible(!waiting);
    openedLine_->setVisible(waiting);
    startButton_->setVisible(waiting);
    if (waiting) {
        const QString text = fromUtf8(openedFilesText(opened.size(), urlPath(commonFolder(opened))));
        openedLine_->setFullText(text);
        startButton_->setAccessibleDescription(text);
        // Return starts them at once, without a look for the button first.
        if (!wasWaiting_) startButton_->setFocus();
    }
    wasWaiting_ = waiting;
    saveAsToggle_->setEnabled(!locked);
    saveAsToggle_->setChecked(view_.saveAs());

    const bool busy = view_.showProgressBar();
    progressBlock_->setVisible(busy);
    if (busy) {
        const int64_t done = view_.progress();
        const int64_t total = view_.maxProgress();
        const double fraction =
            total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
        progressBar_->setValue(static_cast<int>(fraction * kBarSteps));
        const QString text = fromUtf8(processingFilesText(done, total));
        progressText_->setText(text);
        progressBar_->setAccessibleDescription(text);
    }

    const auto& message = view_.errorMessage();
    const bool showError = view_.showAlert() && message.has_value();
    errorLine_->setVisible(showError);
    if (showError) errorLine_->setFullText(fromUtf8(errorLineText(*message)));
    const auto& done = view_.doneMessage();
    const bool showDone = done.has_value() && !showError && !busy;
    doneLine_->setVisible(showDone);
    if (showDone) doneLine_->setFullText(fromUtf8(*done));
}

}  // namespace kelvatta::ui
