#pragma once

// How far a forwarder has delivered a log: the id of the last delivered record, kept in a small
// file of its own ("<id>\n") that is replaced atomically, so that a forwarder killed at any moment
// finds either the old or the new id when it starts again.

#include <QString>
#include <QtGlobal>

class CursorFile
{
public:
    explicit CursorFile(const QString &path);

    // *exists false for a missing file (start fresh); false + *error for an unreadable one.
    bool load(qint64 *lastId, bool *exists, QString *error);
    // Replaces the file with the id as decimal text and a newline (QSaveFile: atomically).
    bool save(qint64 lastId, QString *error);
    QString path() const { return m_path; }

private:
    QString m_path;
};
