#pragma once

#include <QLocale>

class QTranslator;

// The toolkit's own texts (the standard context menus, the directory chooser, message box
// buttons) in the language of the locale, from the catalogs installed with the toolkit
// ("qtbase_zh_CN.qm" for Chinese). The window's own texts are Chinese whatever the locale.
// Installs the translator on the application, which owns it, and returns it; returns null when
// there is no catalog for the locale (the toolkit then stays in English).
QTranslator *installToolkitTranslations(const QLocale &locale = QLocale());
