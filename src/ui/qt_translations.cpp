#include "ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kelvatta::ui {

bool installQtTranslations(QCoreApplication& app)
{
    QLocale locale = QLocale::system();
    if (locale.language() != QLocale::Chinese) locale = QLocale(QLocale::Chinese, QLocale::China);
    // Owned by the application, so it lives as long as the texts it gives.
    auto* translator = new QTranslator(&app);
    if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

}  // namespace kelvatta::ui
