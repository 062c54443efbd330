#pragma once

// Whole-file reads and writes for tests.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestFiles {

// The whole file: a null array when it cannot be opened, an empty (not null) one when it is
// empty, so that an empty file is not taken for a missing one.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = file.readAll();
    if (bytes.isNull())
        bytes = QByteArray("");
    return bytes;
}

// Replaces the file's contents with `bytes`; false unless all of them were written.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

} // namespace TestFiles
