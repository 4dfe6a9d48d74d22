#include "ui/file_dialog_folder_panel.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QPointer>

namespace kelvatta::ui {
namespace {

class FileDialogFolderPanel final : public FolderPanel {
public:
    FileDialogFolderPanel() : dialog_(new QFileDialog(QApplication::activeWindow()))
    {
        dialog_->setAcceptMode(QFileDialog::AcceptOpen);
        dialog_->setFileMode(QFileDialog::Directory);
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
        if (!files.isEmpty() && !files.first().isEmpty())
            chosen_ = std::filesystem::path(QFile::encodeName(files.first()).toStdString());
        return Response::ok;
    }

    std::optional<std::filesystem::path> URL() const override { return chosen_; }

private:
    // The window may be closed, and the dialog with it, while the dialog runs.
    QPointer<QFileDialog> dialog_;
    std::optional<std::filesystem::path> chosen_;
};

}  // namespace

FolderPanelFactory fileDialogFolderPanels()
{
    return [] { return std::make_unique<FileDialogFolderPanel>(); };
}

}  // namespace kelvatta::ui
