#pragma once

// How far a forwarder has delivered a log: the id of the last delivered record, kept in a small
// file of its own ("<id>\n") that is replaced atomically, so that a forwarder killed at any moment
// finds either the old or the new id when it starts again. The process that moves a cursor holds
// a lock on a file beside it ("<file>.lock", which the replacing leaves alone), so that two
// forwarders (or followers) never move one cursor side by side.

#include <QString>
#include <QtGlobal>

class CursorFile
{
public:
    explicit CursorFile(const QString &path);
    ~CursorFile();
    CursorFile(const CursorFile &) = delete;
    CursorFile &operator=(const CursorFile &) = delete;

    // Takes the lock for as long as this object lives (flock on "<file>.lock", which then names
    // this process); false + *error, naming the holder's process id, when another process holds
    // it.
    bool lock(QString *error);
    // *exists false for a missing file (start fresh); false + *error for an unreadable one.
    bool load(qint64 *lastId, bool *exists, QString *error);
    // Replaces the file with the id as decimal text and a newline (QSaveFile: atomically).
    bool save(qint64 lastId, QString *error);
    QString path() const { return m_path; }

private:
    QString m_path;
    int m_lockFd = -1;
};
