#include "Tallyview.h"
#include "ToolkitTranslations.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    // Standard menus and dialogs in the system's language, beside the window's Chinese texts.
    installToolkitTranslations();
    Tallyview w;
    w.show();
    // The window is destroyed before the application object, after the event loop returns.
    return a.exec();
}
