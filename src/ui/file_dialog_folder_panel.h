// The choose-folder panel of the window: Qt's file dialog, showing folders only.
#pragma once

#include <memory>

#include "intake/folder_choice.h"

namespace kelvatta::ui {

// Panels that open as modal dialogs over the window active at the time, if any.
FolderPanelFactory fileDialogFolderPanels();

}  // namespace kelvatta::ui
