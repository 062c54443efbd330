#include "ListingRows.h"

#include <algorithm>
#include <utility>

void ListingRows::reset(Listing listing)
{
    clear();
    m_listing = std::move(listing);
}

void ListingRows::clear()
{
    m_listing = Listing();
    unfilter();
}

int ListingRows::count() const
{
    return m_filtered ? int(m_shown.size()) : recordCount();
}

int ListingRows::rowOf(int record) const
{
    if (!m_filtered)
        return std::max(0, std::min(record, count()));
    return int(std::lower_bound(m_shown.cbegin(), m_shown.cend(), record) - m_shown.cbegin());
}

void ListingRows::filter(std::vector<int> records)
{
    m_shown = std::move(records);
    m_filtered = true;
}

void ListingRows::addToFilter(const std::vector<int> &records)
{
    m_shown.insert(m_shown.end(), records.cbegin(), records.cend());
}

void ListingRows::unfilter()
{
    m_shown.clear();
    m_shown.shrink_to_fit();
    m_filtered = false;
}

bool ListingRows::extend(qint64 upToId)
{
    if (!m_listing.file->extend(m_listing.index.get(), m_listing.lastId, upToId))
        return false;
    m_listing.lastId = upToId;
    return true;
}

bool ListingRows::texts(int first, int last, ListingText::Form form, const Text &onText) const
{
    std::vector<int> records;
    records.reserve(size_t(std::max(0, last - first)));
    for (int row = first; row < last; ++row)
        records.push_back(recordOf(row));
    int row = first;
    return read(records, form, [&](int, const QString &text) { onText(row++, text); });
}

bool ListingRows::recordTexts(int first, int last, ListingText::Form form, const Text &onText) const
{
    std::vector<int> records;
    records.reserve(size_t(std::max(0, last - first)));
    for (int record = first; record < last; ++record)
        records.push_back(record);
    return read(records, form, onText);
}

QString ListingRows::wholeText(int first, int last) const
{
    // Read a few thousand at a time, so that a long listing is never read into memory twice.
    const int slice = 4096;
    QString text;
    for (int from = first; from < last; from += slice) {
        texts(from, std::min(last, from + slice), ListingText::Form::Whole,
              [&](int row, const QString &t) {
                  if (row > first)
                      text += QLatin1Char('\n');
                  text += t;
              });
    }
    return text;
}

bool ListingRows::read(const std::vector<int> &records, ListingText::Form form,
                       const Text &onText) const
{
    if (records.empty())
        return false;
    const ListingFile::Read read = file().read(index(), records, form, onText);
    if (read == ListingFile::Read::Done)
        return false;
    const ListingText::Gap why =
        read == ListingFile::Read::Busy ? ListingText::Gap::Busy : ListingText::Gap::Failed;
    for (const int record : records)
        onText(record, ListingText::gap(index().stamp(record), why, file().errorString()));
    return read == ListingFile::Read::Busy;
}
