#include "ui/file_dialog_folder_panel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

#include "state/texts.h"

namespace kelvatta::ui {
namespace {

// The folder chosen last in any panel of one factory, where the next panel opens.
struct LastChoice {
    QString folder;

    // The last choice while it is still a folder, else the home folder: never the working folder,
    // which is "/" for a program started from the desktop.
    QString startFolder() const { return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath(); }
};

class FileDialogFolderPanel final : public FolderPanel {
public:
    explicit FileDialogFolderPanel(std::shared_ptr<LastChoice> last)
        : dialog_(new QFileDialog(QApplication::activeWindow())), last_(std::move(last))
    {
        dialog_->setWindowTitle(QString::fromUtf8(kChooseFolder));
        dialog_->setAcceptMode(QFileDialog::AcceptOpen);
        dialog_->setFileMode(QFileDialog::Directory);
        dialog_->setDirectory(last_->startFolder());
    }
    ~FileDialogFolderPanel() override { delete dialog_.data(); }

    void setCanChooseDirectories(bool value) override
    {
        dialog_->setFileMode(value ? QFileDialog::Directory : QFileDialog::ExistingFile);
    }
    void setCanChooseFiles(bool value) override { dialog_->setOption(QFileDialog::ShowDirsOnly, !value); }
    // Directory mode takes one folder; there is no mode for several.
    void setAllowsMultipleSelection(bool) override {}

    Response runModal() override
    {
        chosen_.reset();
        if (dialog_->exec() != QDialog::Accepted || !dialog_) return Response::cancel;
        const QStringList files = dialog_->selectedFiles();
        if (!files.isEmpty() && !files.first().isEmpty()) {
            chosen_ = std::filesystem::path(QFile::encodeName(files.first()).toStdString());
            last_->folder = files.first();
        }
        return Response::ok;
    }

    std::optional<std::filesystem::path> URL() const override { return chosen_; }

private:
    // The window may be closed, and the dialog with it, while the dialog runs.
    QPointer<QFileDialog> dialog_;
    std::shared_ptr<LastChoice> last_;
    std::optional<std::filesystem::path> chosen_;
};

}  // namespace

FolderPanelFactory fileDialogFolderPanels()
{
    return [last = std::make_shared<LastChoice>()] { return std::make_unique<FileDialogFolderPanel>(last); };
}

}  // namespace kelvatta::ui
