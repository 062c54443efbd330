#pragma once

// Where a reader of the log stopped: the id of the last record it has dealt with, kept in a small
// file ("<id>\n") so that a later run goes on from there.

#include <QString>

class CursorFile
{
public:
    explicit CursorFile(const QString &path);

    // *exists false for a missing file (start fresh); false + *error for an unreadable one
    bool load(qint64 *lastId, bool *exists, QString *error);
    // Replaces the file atomically (QSaveFile): a crash leaves the old id or the new, never a
    // mixture.
    bool save(qint64 lastId, QString *error);
    QString path() const { return m_path; }

private:
    QString m_path;
};
