#include "ui/content_widget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string>

#include "operations/batch_run.h"
#include "ui/drop_zone.h"
#include "ui/folder_icon.h"
#include "ui/style.h"

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
QLabel* makeLabel(const QString& content, const QFont& font, const QColor& color, const char* name)
{
    auto* label = new QLabel(content);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    setTextColor(label, color);
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

// The footer's link line: one click on it opens the program's page.
class LinkLine final : public QLabel {
public:
    LinkLine() : QLabel(fromUtf8(kLinkLine))
    {
        setObjectName(QStringLiteral("linkLine"));
        setTextFormat(Qt::PlainText);
        setFont(underlined(footnoteFont()));
        setAlignment(Qt::AlignCenter);
        setTextColor(this, blueColor());
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) return;
        // A page that cannot be opened changes nothing and says nothing.
        const QUrl page = projectPage();
        if (page.isValid()) QDesktopServices::openUrl(page);
    }
};

}  // namespace

QUrl projectPage()
{
    const QString installed = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/doc/kelvatta/README.md");
    const QString built = QStringLiteral(KELVATTA_SOURCE_DIR "/README.md");
    const QString page = QFileInfo::exists(installed) || !QFileInfo::exists(built) ? installed : built;
    return QUrl::fromLocalFile(QDir::cleanPath(page));
}

ContentWidget::ContentWidget(ContentView view, FolderPanelFactory makePanel, QWidget* parent)
    : QWidget(parent), view_(std::move(view)), makePanel_(std::move(makePanel))
{
    setFixedSize(kWindowWidth, kWindowHeight);
    setFont(bodyFont());

    // The drop zone and what it holds.
    auto* dropZone = new DropZone(view_);
    dropZone->setObjectName(QStringLiteral("dropZone"));
    auto* zoneContent = new QVBoxLayout(dropZone);
    zoneContent->setContentsMargins(0, 0, 0, 0);
    zoneContent->setSpacing(kDefaultSpacing);
    zoneContent->addStretch();
    zoneContent->addWidget(new FolderIcon(kFolderIconSize, blueColor()), 0, Qt::AlignHCenter);
    zoneContent->addWidget(makeLabel(fromUtf8("拖放文件或文件夹到这里"), headlineFont(), grayColor(), "dropHint"));
    zoneContent->addWidget(makeLabel(fromUtf8("或"), subheadlineFont(), grayColor(), "orLabel"));
    chooseFolderButton_ = new QPushButton(fromUtf8("选择文件夹"));
    chooseFolderButton_->setObjectName(QStringLiteral("chooseFolderButton"));
    chooseFolderButton_->setFont(underlined(subheadlineFont()));
    setTextColor(chooseFolderButton_, blueColor(), QPalette::ButtonText);
    zoneContent->addWidget(chooseFolderButton_, 0, Qt::AlignHCenter);
    zoneContent->addStretch();
    connect(chooseFolderButton_, &QPushButton::clicked, this, [this] { selectFolder(view_, makePanel_); });

    saveAsToggle_ = new QCheckBox(fromUtf8("另存为（在原目录下）"));
    saveAsToggle_->setObjectName(QStringLiteral("saveAsToggle"));
    connect(saveAsToggle_, &QCheckBox::toggled, this, [this](bool checked) {
        if (view_.saveAs() != checked) view_.setSaveAs(checked);
    });

    progressBar_ = new QProgressBar;
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setRange(0, kBarSteps);
    progressBar_->setTextVisible(false);
    progressText_ = makeLabel(QString(), subheadlineFont(), grayColor(), "progressText");
    progressBlock_ = new QWidget;
    progressBlock_->setObjectName(QStringLiteral("progressBlock"));
    auto* progressLayout = new QVBoxLayout(progressBlock_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(kDefaultSpacing);
    progressLayout->addWidget(withSideMargins(progressBar_, kSideMargin));
    progressLayout->addWidget(progressText_);

    errorLine_ = makeLabel(QString(), bodyFont(), redColor(), "errorLine");
    errorLine_->setWordWrap(true);
    errorLine_->setMargin(kDefaultPadding);

    auto* column = new QVBoxLayout;
    column->setSpacing(kColumnSpacing);
    column->addWidget(dropZone, 0, Qt::AlignHCenter);
    column->addWidget(withSideMargins(saveAsToggle_, kSideMargin, Qt::AlignHCenter));
    column->addWidget(progressBlock_);
    column->addWidget(errorLine_);
    column->addStretch();

    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(20, 0, 20, 10);
    footer->setSpacing(kFooterSpacing);
    footer->addWidget(makeLabel(fromUtf8(kCreditLine), footnoteFont(), grayColor(), "creditLine"));
    footer->addWidget(new LinkLine, 0, Qt::AlignHCenter);  // only the text itself reacts
    footer->addWidget(makeLabel(fromUtf8(kWarning), footnoteFont(), grayColor(), "warning"));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding, kDefaultPadding);
    root->setSpacing(kColumnSpacing);
    root->addLayout(column, 1);
    root->addLayout(footer);

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

void ContentWidget::refresh()
{
    const bool busy = view_.showProgressBar();
    chooseFolderButton_->setEnabled(!busy);
    saveAsToggle_->setEnabled(!busy);
    saveAsToggle_->setChecked(view_.saveAs());

    progressBlock_->setVisible(busy);
    if (busy) {
        const int64_t done = view_.progress();
        const int64_t total = view_.maxProgress();
        const double fraction = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
        progressBar_->setValue(static_cast<int>(fraction * kBarSteps));
        progressText_->setText(fromUtf8("正在处理文件 " + std::to_string(done) + " / " + std::to_string(total)));
    }

    const auto& message = view_.errorMessage();
    const bool showError = view_.showAlert() && message.has_value();
    errorLine_->setVisible(showError);
    if (showError) errorLine_->setText(fromUtf8("错误: " + *message));
}

}  // namespace kelvatta::ui
