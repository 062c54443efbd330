#include "CursorFile.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

CursorFile::CursorFile(const QString &path) : m_path(path) {}

bool CursorFile::load(qint64 *lastId, bool *exists, QString *error)
{
    QFile file(m_path);
    *exists = file.exists();
    if (!*exists) {
        *lastId = 0;
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    // An id has at most 19 digits; anything longer is not a cursor.
    const QByteArray text = file.read(64);
    bool ok = false;
    const qint64 id = text.endsWith('\n') ? text.chopped(1).toLongLong(&ok) : 0;
    if (!ok || id < 0 || text.chopped(1) != QByteArray::number(id)) {
        *error = QStringLiteral("not a cursor file (a record id and a line end)");
        return false;
    }
    *lastId = id;
    return true;
}

bool CursorFile::save(qint64 lastId, QString *error)
{
    QSaveFile file(m_path);
    const QByteArray text = QByteArray::number(lastId) + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
