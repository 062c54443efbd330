#pragma once

// Whole-file reads and writes for tests, and the bound of their waits.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace TestFiles {

// The bound of every wait of a test for a condition (a process that ends, a record that shows,
// a file that goes): a guard against a hang, never a speed requirement. A bound that the product
// promises is given where it is tested, with its margin.
constexpr int kHangGuardMs = 120000;

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
