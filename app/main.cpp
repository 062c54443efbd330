#include "Tallyview.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    Tallyview w;
    w.show();
    // The window is destroyed before the application object, after the event loop returns.
    return a.exec();
}
