#pragma once

// What every test that runs the program or the service needs: a fresh directory of its own to
// work in (the program and the service work in the current directory), and a lock on a log file
// held the way another program holds it.

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>

#include <atomic>

namespace TestFiles {

// A fresh temporary directory, made the process's working directory until destroyed (or left).
class ScopedWorkDir
{
public:
    ScopedWorkDir() : m_previous(QDir::currentPath())
    {
        if (m_dir.isValid())
            m_entered = QDir::setCurrent(m_dir.path());
    }
    ~ScopedWorkDir() { leave(); }
    ScopedWorkDir(const ScopedWorkDir &) = delete;
    ScopedWorkDir &operator=(const ScopedWorkDir &) = delete;

    // Goes back to the directory the process was in (the temporary one goes at destruction).
    void leave()
    {
        if (m_entered)
            QDir::setCurrent(m_previous);
        m_entered = false;
    }
    bool isValid() const { return m_dir.isValid() && m_entered; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
    bool m_entered = false;
};

// A connection of the test's own to a log file, through which it holds the locks another program
// would: an exclusive lock (a writer in the middle of a transaction), a reserved one (a writer
// that has begun) or a shared one (a reader paused in the middle of a statement), until unlocked
// or destroyed.
class FileLock
{
public:
    explicit FileLock(const QString &path = QStringLiteral("dbLog.db"))
        : m_name(QStringLiteral("test-lock-%1").arg(counter().fetch_add(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~FileLock()
    {
        unlock();
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool lock() { return exec(QStringLiteral("BEGIN EXCLUSIVE")); }
    bool reserve() { return exec(QStringLiteral("BEGIN IMMEDIATE")); }
    bool pauseReading()
    {
        // Any read in a transaction holds the shared lock; the schema is there in every file.
        return exec(QStringLiteral("BEGIN")) &&
               exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
    }
    void unlock() { exec(QStringLiteral("ROLLBACK")); }

private:
    static std::atomic<int> &counter()
    {
        static std::atomic<int> next{0};
        return next;
    }
    bool exec(const QString &statement)
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (!db.isOpen())
            return false;
        QSqlQuery query(db);
        return query.exec(statement);
    }

    QString m_name;
};

} // namespace TestFiles
