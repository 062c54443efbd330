#pragma once

#include "ListingFile.h"

#include <functional>
#include <vector>

// The rows that the listing shows: each of its records in turn, or only some of them (the
// matches of a find), and their texts as read from the listing's file. Row and record numbers
// are the same while every record is shown.
class ListingRows
{
public:
    // Shows every record of this listing.
    void reset(Listing listing);
    // Lets the listing go: no rows.
    void clear();

    bool hasListing() const { return bool(m_listing.index); }
    const ListingIndex &index() const { return *m_listing.index; }
    ListingFile &file() const { return *m_listing.file; }
    qint64 lastId() const { return m_listing.lastId; }
    void setLastId(qint64 id) { m_listing.lastId = id; }

    int count() const;
    int recordCount() const { return hasListing() ? m_listing.index->count() : 0; }
    int recordOf(int row) const { return m_filtered ? m_shown[size_t(row)] : row; }
    // The first row that shows `record` or a later one; count() when none does.
    int rowOf(int record) const;

    bool isFiltered() const { return m_filtered; }
    // Shows only these records (ascending), or these too (after all shown so far), or all again.
    void filter(std::vector<int> records);
    void addToFilter(const std::vector<int> &records);
    void unfilter();

    // Adds the listing's records stored after lastId() up to this id; false when the file could
    // not be read (nothing added).
    bool extend(qint64 upToId);

    using Text = std::function<void(int number, const QString &text)>;
    // The texts of rows [first, last), or of records [first, last) of the whole listing; where
    // they cannot be read, marked gaps that say why. Answers whether some could not be read for
    // now (the file busy).
    bool texts(int first, int last, ListingText::Form form, const Text &onText) const;
    bool recordTexts(int first, int last, ListingText::Form form, const Text &onText) const;
    // The whole texts of rows [first, last), one after the other, each on a new line.
    QString wholeText(int first, int last) const;

private:
    bool read(const std::vector<int> &records, ListingText::Form form, const Text &onText) const;

    Listing m_listing;
    std::vector<int> m_shown; // the records shown while filtered
    bool m_filtered = false;
};
