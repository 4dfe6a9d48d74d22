// The choose-folder panel of the window: Qt's file dialog, titled "选择文件夹", showing folders only.
#pragma once

#include <memory>

#include "intake/folder_choice.h"

namespace kelvatta::ui {

// Panels that open as modal dialogs over the window active at the time, if any, each at the folder
// chosen last in a panel of this factory (the home folder before the first choice).
FolderPanelFactory fileDialogFolderPanels();

}  // namespace kelvatta::ui
