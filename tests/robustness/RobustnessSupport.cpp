#include "RobustnessSupport.h"

#include "spill/SpillListing.h"

#include "TestLogFile.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTime>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace Robustness {

namespace {

constexpr uid_t kChildUser = 65534;
constexpr gid_t kChildGroup = 65534;

// Every directory on the way to `path` must be searchable by others for the child user.
bool reachableByOthers(const QString &path, QString *why)
{
    QDir dir(QFileInfo(path).absoluteFilePath());
    while (dir.cdUp()) {
        struct stat st;
        const QByteArray name = QFile::encodeName(dir.absolutePath());
        if (stat(name.constData(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            *why = QStringLiteral("%1 is not searchable by other users; set TMPDIR to a directory "
                                  "that is")
                       .arg(dir.absolutePath());
            return false;
        }
        if (dir.isRoot())
            break;
    }
    return true;
}

bool chownTree(const QString &root, QString *why)
{
    QStringList paths{root};
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    for (const QString &p : paths) {
        if (lchown(QFile::encodeName(p).constData(), kChildUser, kChildGroup) != 0) {
            *why = QStringLiteral("cannot hand %1 to uid 65534: %2")
                       .arg(p, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

// Gives the owner full access again everywhere below root, so that the tree can be removed.
void restoreAccess(const QString &root)
{
    std::function<void(const QString &)> walk = [&](const QString &dirPath) {
        chmod(QFile::encodeName(dirPath).constData(), 0700);
        const QFileInfoList infos = QDir(dirPath).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &info : infos) {
            if (info.isSymLink())
                continue;
            if (info.isDir())
                walk(info.filePath());
            else
                chmod(QFile::encodeName(info.filePath()).constData(), 0600);
        }
    };
    walk(root);
}

QByteArray fileFingerprint(const QFileInfo &info)
{
    const QByteArray name = QFile::encodeName(info.filePath());
    struct stat st;
    if (lstat(name.constData(), &st) != 0)
        return "missing";
    QByteArray result = "mode:" + QByteArray::number(st.st_mode, 8) +
                        " size:" + QByteArray::number(static_cast<qlonglong>(st.st_size));
    if (!S_ISREG(st.st_mode))
        return result;
    // Without root the test may need to lend itself the read bit of a file it made unreadable.
    const bool lend = access(name.constData(), R_OK) != 0 && st.st_uid == geteuid();
    if (lend)
        chmod(name.constData(), st.st_mode | S_IRUSR);
    QFile file(info.filePath());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.open(QIODevice::ReadOnly)) {
        hash.addData(&file);
        result += " sha256:" + hash.result().toHex();
    } else {
        result += " unreadable";
    }
    file.close();
    if (lend)
        chmod(name.constData(), st.st_mode & 07777);
    return result;
}

} // namespace

bool runningAsRoot()
{
    return geteuid() == 0;
}

Workspace::Workspace()
    : m_work(std::make_unique<QTemporaryDir>()), m_home(std::make_unique<QTemporaryDir>())
{
}

Workspace::~Workspace()
{
    if (m_work->isValid())
        restoreAccess(m_work->path());
    if (m_home->isValid())
        restoreAccess(m_home->path());
}

bool Workspace::isValid() const
{
    return m_work->isValid() && m_home->isValid();
}

bool Workspace::prepareForRestrictedChild(QString *why)
{
    if (!runningAsRoot())
        return true;
    if (!reachableByOthers(path(), why) || !reachableByOthers(home(), why))
        return false;
    return chownTree(path(), why) && chownTree(home(), why);
}

QStringList Workspace::restrictedOptions() const
{
    return runningAsRoot() ? QStringList{QStringLiteral("--as-nobody")} : QStringList();
}

bool ChildResult::ranToEnd() const
{
    return started && !timedOut && exitStatus == QProcess::NormalExit && exitCode == 0;
}

bool ChildResult::restrictionUnavailable() const
{
    return started && !timedOut && exitStatus == QProcess::NormalExit &&
           (exitCode == ExitCannotRestrict || exitCode == ExitRestrictionIneffective);
}

QString ChildResult::value(const QString &key) const
{
    QString found;
    for (const auto &line : lines) {
        if (line.first == key)
            found = line.second;
    }
    return found;
}

QStringList ChildResult::values(const QString &key) const
{
    QStringList found;
    for (const auto &line : lines) {
        if (line.first == key)
            found << line.second;
    }
    return found;
}

long long ChildResult::lostReported() const
{
    static const QRegularExpression loss(QStringLiteral("^SystemLog: (\\d+) log records lost"),
                                         QRegularExpression::MultilineOption);
    long long total = 0;
    auto it = loss.globalMatch(QString::fromUtf8(err));
    while (it.hasNext())
        total += it.next().captured(1).toLongLong();
    return total;
}

int ChildResult::lossLines() const
{
    static const QRegularExpression loss(QStringLiteral("^SystemLog: \\d+ log records lost"),
                                         QRegularExpression::MultilineOption);
    int count = 0;
    auto it = loss.globalMatch(QString::fromUtf8(err));
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

QString ChildResult::describe() const
{
    QString state;
    if (!started)
        state = QStringLiteral("did not start");
    else if (timedOut)
        state = QStringLiteral("still running after %1 ms, killed").arg(kChildTimeoutMs);
    else if (exitStatus == QProcess::CrashExit)
        state = QStringLiteral("crashed");
    else
        state = QStringLiteral("exit code %1").arg(exitCode);
    return QStringLiteral("child %1\n--- stdout ---\n%2\n--- stderr ---\n%3")
        .arg(state, QString::fromUtf8(out), QString::fromUtf8(err));
}

RunningChild::RunningChild(const QString &program, const QStringList &arguments,
                           const Workspace &workspace, const QString &workingDirectory,
                           const QMap<QString, QString> &environment)
    : m_process(std::make_unique<QProcess>())
{
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    m_process->setWorkingDirectory(workingDirectory.isEmpty() ? workspace.path()
                                                              : workingDirectory);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), workspace.home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), workspace.home() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), workspace.home() + QStringLiteral("/.cache"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());
    m_process->setProcessEnvironment(env);
    m_process->start();
    m_result.started = m_process->waitForStarted(kChildTimeoutMs);
    if (!m_result.started)
        m_result.err = m_process->errorString().toLocal8Bit();
}

RunningChild::~RunningChild()
{
    if (running()) {
        m_process->kill();
        m_process->waitForFinished(kHangGuardMs);
    }
}

bool RunningChild::running() const
{
    return m_process->state() != QProcess::NotRunning;
}

qint64 RunningChild::pid() const
{
    return m_process->processId();
}

void RunningChild::readLines()
{
    m_partial += m_process->readAllStandardOutput();
    m_result.err += m_process->readAllStandardError();
    const int end = m_partial.lastIndexOf('\n');
    if (end < 0)
        return;
    const QByteArray whole = m_partial.left(end + 1);
    m_partial.remove(0, end + 1);
    m_result.out += whole;
    for (const QByteArray &line : whole.split('\n')) {
        const int space = line.indexOf(' ');
        if (space <= 0)
            continue;
        m_result.lines.append(
            {QString::fromUtf8(line.left(space)),
             QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(space + 1)))});
    }
}

bool RunningChild::waitFor(const QString &key, int count)
{
    QDeadlineTimer guard(kChildTimeoutMs);
    for (;;) {
        readLines();
        if (m_result.values(key).size() >= count)
            return true;
        if (!running() || guard.hasExpired())
            return false;
        m_process->waitForReadyRead(100);
    }
}

void RunningChild::send(const QByteArray &line)
{
    if (running()) {
        m_process->write(line + '\n');
        m_process->waitForBytesWritten(kHangGuardMs);
    }
}

ChildResult RunningChild::finish()
{
    if (!m_result.started)
        return m_result;
    // A child that has ended already (its end seen while waiting for its lines) is not waited
    // for: waitForFinished() answers false for it, which is no time-out.
    if (m_process->state() != QProcess::NotRunning &&
        !m_process->waitForFinished(kChildTimeoutMs)) {
        m_result.timedOut = true;
        m_process->kill();
        m_process->waitForFinished(kHangGuardMs);
    }
    readLines();
    if (!m_partial.isEmpty()) {
        m_partial += '\n';
        readLines();
    }
    m_result.exitStatus = m_process->exitStatus();
    m_result.exitCode = m_process->exitCode();
    return m_result;
}

ChildResult runChild(const QString &program, const QStringList &arguments,
                     const Workspace &workspace, const QString &workingDirectory,
                     const std::function<void()> &whileRunning)
{
    RunningChild child(program, arguments, workspace, workingDirectory);
    if (!child.started())
        return child.finish();
    if (whileRunning)
        whileRunning();
    return child.finish();
}

QByteArray fingerprint(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return "missing";
    QByteArray result = fileFingerprint(info);
    if (!info.isDir() || info.isSymLink())
        return result;
    QStringList below;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        below << it.next();
    below.sort();
    for (const QString &p : below)
        result += '\n' + QFile::encodeName(QDir(path).relativeFilePath(p)) + ' ' +
                  fileFingerprint(QFileInfo(p));
    return result;
}

QStringList entries(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                  QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

bool writeLogFile(const QString &path, const QList<StoredRecord> &records)
{
    return TestLogFile::writeRecords(path, records);
}

bool execOnFile(const QString &path, const QStringList &statements)
{
    return TestLogFile::exec(path, statements);
}

QList<StoredRecord> readLogFile(const QString &path, bool *ok)
{
    QList<StoredRecord> records;
    *ok = QFileInfo::exists(path) && TestLogFile::withConnection(path, [&](QSqlDatabase &db) {
              QSqlQuery query(db);
              if (!query.exec(
                      QStringLiteral("SELECT datetime, type, message FROM SystemInfo ORDER BY id")))
                  return false;
              while (query.next())
                  records.append({query.value(0).toString(), query.value(1).toInt(),
                                  query.value(2).toString()});
              return true;
          });
    return records;
}

int recordCount(const QString &path)
{
    bool ok = false;
    const int count = readLogFile(path, &ok).size();
    return ok ? count : -1;
}

const QString kSideFile = QStringLiteral("dbLog.pending.db");
const QString kSpillDir = QStringLiteral("dbLog.spill");

QStringList spilledMessages(const QString &dir)
{
    QStringList messages;
    for (const SystemLog::Spill::SegmentListing &segment : SystemLog::Spill::listJournal(dir, {})) {
        for (const SystemLog::Spill::WaitingRecord &record : segment.records)
            messages << QString::fromUtf8(record.message);
    }
    return messages;
}

bool spillEmpty(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.spill")}, QDir::Files | QDir::Hidden).isEmpty();
}
const QString kDay = QStringLiteral("2024-03-15");

QList<StoredRecord> recordsOfDay(int count, int messageLength)
{
    QList<StoredRecord> records;
    for (int i = 0; i < count; ++i) {
        const QTime time = QTime(8, 0, 0).addSecs(i * 7);
        QString message = QString::fromUtf8("记录 %1 ").arg(i);
        while (message.size() < messageLength)
            message += QLatin1Char('a' + message.size() % 26);
        records.append(
            {kDay + QLatin1Char(' ') + time.toString(QStringLiteral("hh:mm:ss")), 0, message});
    }
    return records;
}

QStringList hostileLogFileKinds()
{
    return {QStringLiteral("directory"), QStringLiteral("random bytes"),
            QStringLiteral("empty file"), QStringLiteral("other schema"),
            QStringLiteral("unreadable")};
}

bool hostileKindBecomesLog(const QString &kind)
{
    return kind == QLatin1String("empty file");
}

void addHostileLogFileRows()
{
    QTest::addColumn<QString>("kind");
    for (const QString &kind : hostileLogFileKinds())
        QTest::newRow(qPrintable(kind)) << kind;
}

HostileLog::Setup HostileLog::setUp(Workspace &ws, const QString &kind, QString *why)
{
    if (!ws.isValid())
        return Setup::Failed;
    log = ws.filePath(QStringLiteral("dbLog.db"));
    bool restricted = false;
    if (!makeHostileLogFile(kind, log, &restricted))
        return Setup::Failed;
    options.clear();
    if (restricted) {
        if (!ws.prepareForRestrictedChild(why))
            return Setup::Skip;
        options = ws.restrictedOptions() << QStringLiteral("--expect-unreadable") << log;
    }
    before = fingerprint(log);
    around = entries(ws.path());
    return Setup::Ready;
}

bool makeHostileLogFile(const QString &kind, const QString &path, bool *restricted)
{
    *restricted = false;
    if (kind == QLatin1String("directory")) {
        // Not empty, so that anything removed or added below it shows.
        return QDir().mkdir(path) &&
               writeFile(QDir(path).filePath(QStringLiteral("keep.txt")), "kept\n");
    }
    if (kind == QLatin1String("random bytes"))
        return writeFile(path, randomBytes(64 * 1024, 20240315));
    if (kind == QLatin1String("empty file"))
        return writeFile(path, QByteArray());
    if (kind == QLatin1String("other schema")) {
        return execOnFile(path, {QStringLiteral("CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, "
                                                "datetime TEXT, message TEXT)"),
                                 QStringLiteral("INSERT INTO SystemInfo(datetime, message) VALUES "
                                                "('2024-03-15 08:00:00', 'not ours'), "
                                                "('2024-03-15 09:00:00', 'neither')")});
    }
    if (kind == QLatin1String("text primary key")) {
        // All the columns, but an id that is not the table's integer key.
        return execOnFile(path, {QStringLiteral("CREATE TABLE SystemInfo(id TEXT PRIMARY KEY, "
                                                "datetime TEXT, type INT, message TEXT)"),
                                 QStringLiteral("INSERT INTO SystemInfo VALUES ('a', "
                                                "'2024-03-15 08:00:00', 0, 'not ours')")});
    }
    if (kind == QLatin1String("not null column")) {
        return execOnFile(path, {QStringLiteral("CREATE TABLE SystemInfo(id INTEGER PRIMARY KEY, "
                                                "datetime TEXT, type INT, message TEXT, "
                                                "operator TEXT NOT NULL)")});
    }
    if (kind == QLatin1String("aborting trigger")) {
        return writeLogFile(path, {}) &&
               execOnFile(path, {QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON "
                                                "SystemInfo BEGIN SELECT RAISE(ABORT, 'read "
                                                "only archive'); END")});
    }
    if (kind == QLatin1String("unreadable")) {
        // A real log with records of the day: only the permission bits keep them from showing.
        *restricted = true;
        return writeLogFile(path, recordsOfDay(3)) &&
               chmod(QFile::encodeName(path).constData(), 0) == 0;
    }
    return false;
}

} // namespace Robustness
