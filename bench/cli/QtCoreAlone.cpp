// The least any Qt program costs: it loads Qt Core, sets up the application object and ends.
// scripts/bench-cli.sh times it beside sqlite3 to show how much of tallylog's start-up is Qt's.

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return 0;
}
