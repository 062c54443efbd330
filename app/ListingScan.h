#pragma once

#include "ListingIndex.h"
#include "read/FileState.h"
#include "read/LogReader.h"

#include <QString>

#include <functional>
#include <memory>

// Lists what identifies each record of a selection (LogReader::selectKeys) into a ListingIndex,
// in id order. A span of more than a few minutes is read in two halves at once, the later half
// on a thread and a connection of its own to the same file: reading the log's index is most of
// the time a long listing takes, and it takes one core.
class ListingScan
{
public:
    // `reader` is open on `path`, which held the file `identity` when it was opened; the second
    // connection reads only that file, and waits as long for a writer's lock.
    ListingScan(SystemLog::LogReader &reader, const QString &path,
                const SystemLog::FileIdentity &identity, int busyTimeoutMs);

    // The selection's records with ids up to its upToId, or null on failure (failure() says
    // why) or when `keepGoing`, asked now and then, said no.
    std::unique_ptr<ListingIndex> run(const SystemLog::LogSelection &selection,
                                      const std::function<bool()> &keepGoing);
    QString failure() const { return m_failure; }
    bool failureIsTransient() const { return m_transient; }

private:
    struct Part;
    void scan(SystemLog::LogReader &reader, Part &part, const std::function<bool()> &keepGoing);

    SystemLog::LogReader &m_reader;
    QString m_path;
    SystemLog::FileIdentity m_identity;
    int m_busyTimeoutMs;
    QString m_failure;
    bool m_transient = false;
};
