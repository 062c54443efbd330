#include "ListingFile.h"

#include "ListingIndex.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace {

constexpr qint64 kLowestId = std::numeric_limits<qint64>::min();
// Records whose ids lie closer together than this many ids per record are read in one walk
// along the ids; records further apart (a sparse category, the matches of a find) one by one.
constexpr qint64 kAlongPerRecord = 8;
// How often the listing asks whether to go on.
constexpr int kAskEvery = 65536;

// Records read in stamp order that are not in id order (a clock set back): kept aside, sorted by
// id and indexed once all are read.
class Disorder
{
public:
    void add(qint64 id, std::string_view stamp)
    {
        m_keys.push_back({id, m_stamps.size(), stamp.size()});
        m_stamps.append(stamp);
    }
    std::unique_ptr<ListingIndex> sorted()
    {
        std::stable_sort(m_keys.begin(), m_keys.end(),
                         [](const Key &a, const Key &b) { return a.id < b.id; });
        auto index = std::make_unique<ListingIndex>();
        for (const Key &key : m_keys)
            index->append(key.id, std::string_view(m_stamps).substr(key.at, key.size));
        return index;
    }

private:
    struct Key
    {
        qint64 id;
        size_t at;
        size_t size;
    };
    std::vector<Key> m_keys;
    std::string m_stamps;
};

} // namespace

ListingFile::ListingFile(const Query &query) : m_query(query) {}

ListingFile::~ListingFile() = default;

SystemLog::LogSelection ListingFile::selection() const
{
    SystemLog::LogSelection selection;
    selection.types = {m_query.type};
    selection.from = m_query.from;
    selection.to = m_query.to;
    return selection;
}

std::unique_ptr<ListingIndex> ListingFile::list(qint64 *lastId,
                                                const std::function<bool()> &keepGoing)
{
    if (!m_reader.open(m_query.path))
        return nullptr;
    bool none = true;
    if (!m_reader.maxId(lastId, &none))
        return nullptr;
    SystemLog::LogSelection keys = selection();
    keys.upToId = *lastId;
    auto index = std::make_unique<ListingIndex>();
    std::unique_ptr<Disorder> disorder;
    qint64 previous = kLowestId;
    int read = 0;
    bool stopped = false;
    const bool ok = none || m_reader.selectKeys(keys, [&](qint64 id, std::string_view stamp) {
        if (++read % kAskEvery == 0 && !keepGoing()) {
            stopped = true;
            return false;
        }
        if (!disorder && id < previous) {
            // The index yields the records by stamp; a record stored earlier under a later stamp
            // puts them out of id order. Those read so far join the rest, to be sorted.
            disorder = std::make_unique<Disorder>();
            for (int record = 0; record < index->count(); ++record)
                disorder->add(index->id(record), index->stamp(record).toUtf8().constData());
            index = std::make_unique<ListingIndex>();
        }
        previous = id;
        if (disorder)
            disorder->add(id, stamp);
        else
            index->append(id, stamp);
        return true;
    });
    if (!ok || stopped)
        return nullptr;
    return disorder ? disorder->sorted() : std::move(index);
}

bool ListingFile::extend(ListingIndex *index, qint64 afterId, qint64 upToId)
{
    SystemLog::LogSelection more = selection();
    more.afterId = afterId;
    more.upToId = upToId;
    more.alongIds = true;
    return m_reader.select(more, [index](const SystemLog::LogRecordView &r) {
        index->append(r.id, r.datetime);
        return true;
    });
}

ListingFile::Read ListingFile::read(const ListingIndex &index, const std::vector<int> &records,
                                    ListingText::Form form, const TextCallback &onText)
{
    if (records.empty())
        return Read::Done;
    std::vector<qint64> ids;
    ids.reserve(records.size());
    for (const int record : records)
        ids.push_back(index.id(record));
    std::vector<QString> texts(records.size());
    const quint64 span = quint64(ids.back()) - quint64(ids.front());
    const bool along = span <= quint64(kAlongPerRecord) * records.size() + 256;
    const bool ok = along ? readAlong(index, records, ids, form, &texts)
                          : readEach(index, records, ids, form, &texts);
    if (!ok)
        return m_reader.lastErrorIsTransient() ? Read::Busy : Read::Failed;
    for (size_t k = 0; k < records.size(); ++k)
        onText(records[k], texts[k].isNull() ? ListingText::gap(index.stamp(records[k]),
                                                                ListingText::Gap::Gone)
                                             : texts[k]);
    return Read::Done;
}

// One walk over the ids from the first record to the last, with the listing's own filter; each
// row is matched to the records by id in turn (a table of another program may hold an id twice).
bool ListingFile::readAlong(const ListingIndex &index, const std::vector<int> &records,
                            const std::vector<qint64> &ids, ListingText::Form form,
                            std::vector<QString> *texts)
{
    SystemLog::LogSelection rows = selection();
    rows.afterId = ids.front() == kLowestId ? kLowestId : ids.front() - 1;
    rows.upToId = ids.back();
    rows.alongIds = true;
    size_t k = 0;
    return m_reader.select(rows, [&](const SystemLog::LogRecordView &r) {
        while (k < ids.size() && ids[k] < r.id)
            ++k;
        if (k < ids.size() && ids[k] == r.id) {
            if (index.hasStamp(records[k], r.datetime))
                (*texts)[k] = ListingText::record(r.datetime, r.message, form);
            ++k;
        }
        return k < ids.size();
    });
}

bool ListingFile::readEach(const ListingIndex &index, const std::vector<int> &records,
                           const std::vector<qint64> &ids, ListingText::Form form,
                           std::vector<QString> *texts)
{
    for (size_t k = 0; k < ids.size(); ++k) {
        if (k > 0 && ids[k] == ids[k - 1])
            continue; // read with the first record of that id
        size_t next = k;
        const bool ok = m_reader.recordAt(ids[k], [&](const SystemLog::LogRecordView &r) {
            // The listing's record only if it still is one of the query's, with its stamp.
            const bool ours = r.type.kind == SystemLog::StoredType::Kind::Integer &&
                              r.type.integer == m_query.type && r.datetimeIsText &&
                              next < ids.size() && ids[next] == r.id;
            if (ours && index.hasStamp(records[next], r.datetime))
                (*texts)[next] = ListingText::record(r.datetime, r.message, form);
            ++next;
            return true;
        });
        if (!ok)
            return false;
    }
    return true;
}
