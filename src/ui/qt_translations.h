// Qt's own texts (the buttons and labels of the folder dialog, the menus of text fields) in Chinese,
// like every text of the window.
#pragma once

class QCoreApplication;

namespace kelvatta::ui {

// Loads Qt's translation for the system's locale when that is a Chinese one, else for zh_CN, from
// Qt's translations folder (Debian: qt6-translations-l10n). Without it Qt's texts stay English.
// Returns whether one was installed.
bool installQtTranslations(QCoreApplication& app);

}  // namespace kelvatta::ui
