#include "ListingSearch.h"

#include "ListingWindow.h"
#include "RecordListing.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// How long one slice of the search may take, and the records read at a time.
const int kSliceMs = 10;
const int kReadRecords = 2048;
// Listings whose text is longer than this are read from the file for each search.
const int kCacheChars = 16 << 20;
// A slice that met a busy file is tried again after this.
const int kBusyRetryMs = 500;

} // namespace

ListingSearch::ListingSearch(RecordListing *listing) : QObject(listing), m_listing(listing)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ListingSearch::scan);
}

void ListingSearch::reset()
{
    m_timer.stop();
    m_matches.clear();
    m_next = m_end = 0;
    m_cache.clear();
    m_cache.squeeze();
    m_cacheStarts.clear();
    m_cacheStarts.shrink_to_fit();
    m_cacheUsable = true;
}

void ListingSearch::start(const QString &text)
{
    m_timer.stop();
    m_matches.clear();
    m_query = text.toCaseFolded();
    m_length = m_query.size();
    m_end = m_listing->listedCount();
    m_next = 0;
    if (m_length == 0) {
        m_next = m_end;
        emit found(0, true);
        return;
    }
    if (m_cacheUsable && int(m_cacheStarts.size()) == m_end) {
        searchCache(0);
        m_next = m_end;
        emit found(0, true);
        return;
    }
    scan();
}

void ListingSearch::searchAdded(int first)
{
    m_end = m_listing->listedCount();
    if (m_length == 0) {
        m_next = m_end;
        return;
    }
    // A search under way reaches them by itself.
    if (m_next < first)
        return;
    m_next = first;
    scan();
}

std::vector<int> ListingSearch::recordsOf(int from) const
{
    std::vector<int> records;
    for (int i = from; i < m_matches.size(); ++i) {
        const int record = ListingWindow::recordOf(m_matches.at(i));
        if (records.empty() || records.back() != record)
            records.push_back(record);
    }
    return records;
}

// Searches the folded texts kept, from the start of `fromRecord` on.
void ListingSearch::searchCache(int fromRecord)
{
    const int begin = m_cacheStarts.empty() ? 0 : m_cacheStarts[size_t(fromRecord)];
    for (int at = m_cache.indexOf(m_query, begin); at >= 0;
         at = m_cache.indexOf(m_query, at + m_length)) {
        const auto after = std::upper_bound(m_cacheStarts.cbegin(), m_cacheStarts.cend(), at);
        const int record = int(after - m_cacheStarts.cbegin()) - 1;
        m_matches.append(ListingWindow::position(record, at - m_cacheStarts[size_t(record)]));
    }
}

void ListingSearch::take(int record, const QString &folded, int at)
{
    for (int i = folded.indexOf(m_query, at); i >= 0; i = folded.indexOf(m_query, i + m_length))
        m_matches.append(ListingWindow::position(record, i));
}

// Searches a slice of the records; the rest follows on the next turn of the event loop.
void ListingSearch::scan()
{
    QElapsedTimer slice;
    slice.start();
    const int firstNew = m_matches.size();
    while (m_next < m_end && slice.elapsed() < kSliceMs) {
        const int last = std::min(m_end, m_next + kReadRecords);
        // Kept while they follow on from those kept, in order, and fit.
        const bool keep = m_cacheUsable && int(m_cacheStarts.size()) == m_next;
        std::vector<QString> texts;
        texts.reserve(size_t(last - m_next));
        const bool busy = m_listing->listedTexts(
            m_next, last, [&](int, const QString &text) { texts.push_back(text.toCaseFolded()); });
        if (busy) {
            emit found(firstNew, false);
            m_timer.start(kBusyRetryMs);
            return;
        }
        for (int record = m_next; record < last; ++record) {
            const QString &folded = texts[size_t(record - m_next)];
            take(record, folded, 0);
            if (keep && m_cacheUsable) {
                if (!m_cacheStarts.empty())
                    m_cache += QLatin1Char('\n');
                m_cacheStarts.push_back(m_cache.size());
                m_cache += folded;
                m_cacheUsable = m_cache.size() <= kCacheChars;
            }
        }
        if (!m_cacheUsable) {
            m_cache.clear();
            m_cache.squeeze();
            m_cacheStarts.clear();
            m_cacheStarts.shrink_to_fit();
        }
        m_next = last;
    }
    const bool complete = isComplete();
    if (!complete)
        m_timer.start(0);
    emit found(firstNew, complete);
}
