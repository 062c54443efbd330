// Prints the records of "dbLog.db" in the working directory, one per line in insertion order,
// as "<type>\t<message>", UTF-8. Exits with 1 when the file is missing or cannot be read.

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);

    if (!QFileInfo::exists(QStringLiteral("dbLog.db"))) {
        std::fprintf(stderr, "list_log: no dbLog.db in the working directory\n");
        return 1;
    }
    int status = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral("dbLog.db"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            std::fprintf(stderr, "list_log: %s\n", qUtf8Printable(db.lastError().text()));
            status = 1;
        } else {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("select type, message from SystemInfo order by id"))) {
                std::fprintf(stderr, "list_log: %s\n", qUtf8Printable(query.lastError().text()));
                status = 1;
            }
            while (status == 0 && query.next()) {
                std::printf("%d\t%s\n", query.value(0).toInt(),
                            query.value(1).toString().toUtf8().constData());
            }
        }
    }
    QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
    return status;
}
