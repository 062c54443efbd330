#include "ListingScan.h"

#include "read/FileState.h"

#include <algorithm>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

// How often the scan asks whether to go on.
constexpr int kAskEvery = 65536;
// A span shorter than this is read in one go.
constexpr quint32 kSplitSeconds = 600;

// Records read in stamp order that are not in id order (a clock set back): kept aside, sorted by
// id and indexed once all are read.
class Disorder
{
public:
    explicit Disorder(const ListingIndex &before)
    {
        for (int record = 0; record < before.count(); ++record)
            add(before.id(record), before.stamp(record).toUtf8().constData());
    }
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

struct ListingScan::Part
{
    SystemLog::LogSelection selection;
    QByteArray after; // the part takes stamps after this one only (none: from its lower bound)
    std::unique_ptr<ListingIndex> index;
    bool ok = false;
    QString failure;
    bool transient = false;
};

ListingScan::ListingScan(SystemLog::LogReader &reader, const QString &path,
                         const SystemLog::FileIdentity &identity, int busyTimeoutMs)
    : m_reader(reader), m_path(path), m_identity(identity), m_busyTimeoutMs(busyTimeoutMs)
{
}

void ListingScan::scan(SystemLog::LogReader &reader, Part &part,
                       const std::function<bool()> &keepGoing)
{
    auto index = std::make_unique<ListingIndex>();
    std::unique_ptr<Disorder> disorder;
    qint64 previous = std::numeric_limits<qint64>::min();
    int read = 0;
    bool stopped = false;
    const std::string_view after(part.after.constData(), size_t(part.after.size()));
    const bool ok = reader.selectKeys(part.selection, [&](qint64 id, std::string_view stamp) {
        if (++read % kAskEvery == 0 && !keepGoing()) {
            stopped = true;
            return false;
        }
        if (!after.empty() && stamp == after)
            return true;
        if (!disorder && id < previous) {
            // The index yields the records by stamp; a record stored earlier under a later stamp
            // puts them out of id order. Those read so far join the rest, to be sorted.
            disorder = std::make_unique<Disorder>(*index);
            index = std::make_unique<ListingIndex>();
        }
        previous = id;
        if (disorder)
            disorder->add(id, stamp);
        else
            index->append(id, stamp);
        return true;
    });
    part.ok = ok && !stopped;
    if (!ok) {
        part.failure = reader.errorString();
        part.transient = reader.lastErrorIsTransient();
    }
    if (part.ok)
        part.index = disorder ? disorder->sorted() : std::move(index);
}

std::unique_ptr<ListingIndex> ListingScan::run(const SystemLog::LogSelection &selection,
                                               const std::function<bool()> &keepGoing)
{
    Part early;
    early.selection = selection;
    StampCode code;
    quint32 from = 0;
    quint32 to = 0;
    const QByteArray fromText = selection.from.toUtf8();
    const QByteArray toText = selection.to.toUtf8();
    const bool split =
        code.encode(std::string_view(fromText.constData(), size_t(fromText.size())), &from) &&
        code.encode(std::string_view(toText.constData(), size_t(toText.size())), &to) &&
        to > from && to - from >= kSplitSeconds;
    if (!split) {
        scan(m_reader, early, keepGoing);
        m_failure = early.failure;
        m_transient = early.transient;
        return std::move(early.index);
    }
    // [from, middle] here, (middle, to] on the helper thread, each in its own snapshot: records
    // are only ever added after the highest id listed (upToId) or removed, never moved.
    const QString middle = StampCode::decode(from + (to - from) / 2);
    early.selection.to = middle;
    Part late;
    late.selection = selection;
    late.selection.from = middle;
    late.after = middle.toUtf8();
    std::thread helper([&] {
        SystemLog::LogReader reader;
        reader.setBusyTimeout(m_busyTimeoutMs);
        if (!reader.open(m_path)) {
            late.failure = reader.errorString();
            late.transient = reader.lastErrorIsTransient();
        } else if (SystemLog::FileIdentity::of(m_path) != m_identity) {
            late.failure = QStringLiteral("another log took the file's place while it was read");
            late.transient = true;
        } else {
            scan(reader, late, keepGoing);
        }
    });
    scan(m_reader, early, keepGoing);
    helper.join();
    for (const Part *part : {&early, &late}) {
        if (!part->ok) {
            m_failure = part->failure;
            m_transient = part->transient;
            return nullptr;
        }
    }
    const bool inOrder = early.index->count() == 0 || late.index->count() == 0 ||
                         late.index->id(0) >= early.index->id(early.index->count() - 1);
    if (inOrder) {
        early.index->appendAll(*late.index);
        return std::move(early.index);
    }
    Disorder all(*early.index);
    early.index.reset();
    for (int record = 0; record < late.index->count(); ++record)
        all.add(late.index->id(record), late.index->stamp(record).toUtf8().constData());
    return all.sorted();
}
