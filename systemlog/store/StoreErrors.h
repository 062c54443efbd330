#pragma once

#include <QSqlError>
#include <QString>

#include <cstdio>

namespace SystemLog::StoreErrors {

// The failures of QDBSqlite's statements, as its callers get them and as it says them.

inline void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

inline void report(const char *what, const QSqlError &error)
{
    std::fprintf(stderr, "SystemLog: %s: %s\n", what, qUtf8Printable(error.text()));
}

inline QSqlError makeError(const QString &text, QSqlError::ErrorType type)
{
    return QSqlError(QString(), text, type);
}

inline QSqlError notOpenError()
{
    return makeError(QStringLiteral("the log database is not open"), QSqlError::ConnectionError);
}

} // namespace SystemLog::StoreErrors
