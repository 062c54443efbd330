#include "CursorFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A cursor file holds a few bytes; anything much larger is not one.
constexpr qint64 kMaxCursorBytes = 64;

} // namespace

CursorFile::CursorFile(const QString &path) : m_path(path) {}

bool CursorFile::load(qint64 *lastId, bool *exists, QString *error)
{
    *lastId = 0;
    QFile file(m_path);
    if (!file.exists()) {
        *exists = false;
        return true;
    }
    *exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.read(kMaxCursorBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    QByteArray text = bytes;
    if (text.endsWith('\n'))
        text.chop(1);
    // Ids of other programs may be 0 or below: a minus sign may lead.
    const QByteArray digits = text.startsWith('-') ? text.mid(1) : text;
    bool ok = !digits.isEmpty() && bytes.size() <= kMaxCursorBytes;
    for (const char c : digits)
        ok = ok && c >= '0' && c <= '9';
    const qint64 id = ok ? text.toLongLong(&ok) : 0;
    if (!ok) {
        *error = QStringLiteral("not a cursor file (it holds the id of the last delivered "
                                "record and a newline)");
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
        file.cancelWriting();
        return false;
    }
    return true;
}
