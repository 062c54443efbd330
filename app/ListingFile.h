#pragma once

#include "ListingText.h"
#include "read/FileState.h"
#include "read/LogReader.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "ListingIndex.h"

// The log file that a listing was read from, and the one way its records are read again: a
// connection of the listing's own, opened when the listing is made and kept open while it is
// shown. It stays on that file whatever happens to the path: a file moved over it, made anew
// there or set aside is never read as if it were the listing's (the records are read from the
// file they were listed from, as long as it can be read). A record that is no longer there, or
// is another one by now (other stamp, other category), shows as a marked gap.
class ListingFile
{
public:
    struct Query
    {
        QString path; // the log file
        QString from; // "yyyy-MM-dd hh:mm:ss", both included
        QString to;
        int type = 0;
    };

    explicit ListingFile(const Query &query);
    ~ListingFile();
    ListingFile(const ListingFile &) = delete;
    ListingFile &operator=(const ListingFile &) = delete;

    const Query &query() const { return m_query; }
    // The file behind the path as list() opened it: another connection that finds another one
    // there (FileIdentity::of) reads another log, never this listing's.
    const SystemLog::FileIdentity &identity() const { return m_identity; }
    void setBusyTimeout(int ms)
    {
        m_busyTimeoutMs = ms;
        m_reader.setBusyTimeout(ms);
    }
    QString errorString() const { return m_failure.isEmpty() ? m_reader.errorString() : m_failure; }
    bool lastErrorIsTransient() const
    {
        return m_failure.isEmpty() ? m_reader.lastErrorIsTransient() : m_failureIsTransient;
    }

    // Opens the file and lists its records of the query: the index of them, in id order, or
    // null on failure. *lastId is the highest id in the file as they were read. `keepGoing` is
    // asked now and then; false stops the reading (null, no failure said).
    std::unique_ptr<ListingIndex> list(qint64 *lastId, const std::function<bool()> &keepGoing);
    // Adds the records of the query with ids after the index's last one, up to `upToId`.
    bool extend(ListingIndex *index, qint64 afterId, qint64 upToId);

    enum class Read
    {
        Done,
        Busy,   // another program holds the file: nothing was read, try again shortly
        Failed, // errorString() says why
    };
    using TextCallback = std::function<void(int record, const QString &text)>;
    // The text of each of these records (ascending record numbers), in their order, after all of
    // them were read: a record no longer in the file as a gap.
    Read read(const ListingIndex &index, const std::vector<int> &records, ListingText::Form form,
              const TextCallback &onText);

private:
    SystemLog::LogSelection selection() const;
    bool readAlong(const ListingIndex &index, const std::vector<int> &records,
                   const std::vector<qint64> &ids, ListingText::Form form,
                   std::vector<QString> *texts);
    bool readEach(const ListingIndex &index, const std::vector<int> &records,
                  const std::vector<qint64> &ids, ListingText::Form form,
                  std::vector<QString> *texts);

    Query m_query;
    SystemLog::FileIdentity m_identity;
    SystemLog::LogReader m_reader;
    int m_busyTimeoutMs = 5000;
    // Why listing failed, where the second connection of the listing failed.
    QString m_failure;
    bool m_failureIsTransient = false;
};

// A query's records as the window lists them: what identifies each, and the file they are read
// from. No file when the query failed.
struct Listing
{
    std::unique_ptr<ListingFile> file;
    std::unique_ptr<ListingIndex> index;
    qint64 lastId = -1; // the highest id in the file as the records were listed
};
