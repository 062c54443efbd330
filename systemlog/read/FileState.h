#pragma once

// Two rules that every reader following a log file shares: which file is behind its path (to see
// that another took its place), and how a passing state of the file is said.

#include <QByteArray>
#include <QString>

namespace SystemLog {

// The file behind a path: its device and inode, or none. A reader keeps the file it opened,
// whatever happens to the path; a different identity at the path means that the file was
// replaced (moved over, or removed and made anew).
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    bool exists = false;

    static FileIdentity of(const QString &path);
    bool operator==(const FileIdentity &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

// The file at `path` as it is now, as a text: its identity, size and modification time. A file
// replaced, removed ("missing") or rewritten gives another text.
QByteArray fileVersion(const QString &path);

// The busy-once rule: a state of the file that lasts (busy, locked, a crashed writer's
// transaction not undone yet, removed) is said once however many tries it lasts, and again only
// once another state came between or a try succeeded.
class OnceSaid
{
public:
    // Whether the state `key` is to be said now (and remembers it as said).
    bool isNew(const QString &key)
    {
        if (key == m_said)
            return false;
        m_said = key;
        return true;
    }
    // A try succeeded: the next state is said again.
    void clear() { m_said.clear(); }

private:
    QString m_said;
};

} // namespace SystemLog
