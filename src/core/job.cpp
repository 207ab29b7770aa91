#include "job.h"

#include "core/uid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <cmath>

namespace {

const QString kFormat = QStringLiteral("kestrel-rfid-job");
// Larger files are not jobs; nothing of them is read.
constexpr qint64 kMaxBytes = 64 * 1024;

// Reads one object's members, each once, and names the first one it cannot take.
class Reader {
public:
    Reader(const QJsonObject &object, QString path, QString *error)
        : m_object(object)
        , m_path(std::move(path))
        , m_error(error)
    {
    }

    bool flag(const char *name, bool &out)
    {
        const QJsonValue v = take(name);
        if (v.isUndefined())
            return true;
        if (!v.isBool())
            return fail(name, QStringLiteral("must be true or false"));
        out = v.toBool();
        return true;
    }

    bool text(const char *name, const QRegularExpression &pattern, const QString &what,
              QString &out)
    {
        const QJsonValue v = take(name);
        if (v.isUndefined())
            return true;
        const QString t = v.toString();
        if (!v.isString() || !pattern.match(t).hasMatch())
            return fail(name, QStringLiteral("must be ") + what);
        out = t.toUpper();
        return true;
    }

    bool number(const char *name, int min, int max, int &out)
    {
        const QJsonValue v = take(name);
        if (v.isUndefined())
            return true;
        const double d = v.toDouble(-1);
        // The range first: a huge number has no whole value to compare with.
        if (!v.isDouble() || d < min || d > max || d != std::floor(d))
            return fail(name,
                        QStringLiteral("must be a whole number from %1 to %2").arg(min).arg(max));
        out = int(d);
        return true;
    }

    std::optional<QJsonObject> object(const char *name)
    {
        const QJsonValue v = take(name);
        if (v.isUndefined())
            return QJsonObject();
        if (!v.isObject()) {
            fail(name, QStringLiteral("must be an object"));
            return std::nullopt;
        }
        return v.toObject();
    }

    bool path(const char *name, QString &out)
    {
        const QJsonValue v = take(name);
        if (v.isUndefined())
            return true;
        if (!v.isString() || v.toString().contains(QChar(0)))
            return fail(name, QStringLiteral("must be a file's path"));
        out = v.toString();
        return true;
    }

    // Read already.
    void skip(const char *name) { take(name); }

    QString member(const char *name) const
    {
        return m_path.isEmpty() ? QString::fromLatin1(name)
                                : m_path + u'.' + QString::fromLatin1(name);
    }

    bool fail(const char *name, const QString &why)
    {
        *m_error = QStringLiteral("\"%1\" %2").arg(member(name), why);
        return false;
    }

    // Everything the reader did not take is unknown.
    bool done()
    {
        for (auto it = m_object.constBegin(); it != m_object.constEnd(); ++it) {
            if (m_taken.contains(it.key()))
                continue;
            *m_error = QStringLiteral("\"%1\" is not a member of a job")
                           .arg(m_path.isEmpty() ? it.key() : m_path + u'.' + it.key());
            return false;
        }
        return true;
    }

private:
    QJsonValue take(const char *name)
    {
        const QString key = QString::fromLatin1(name);
        m_taken.insert(key);
        return m_object.value(key);
    }

    QJsonObject m_object;
    QString m_path;
    QString *m_error;
    QSet<QString> m_taken;
};

// The loop's flags a job keeps in section (empty: the job itself).
bool readFlags(Reader &r, QLatin1StringView section, AutoLoop::Options &o)
{
    for (const AutoLoop::Flag &f : AutoLoop::kFlags) {
        if (f.jobKey && section == QLatin1StringView(f.jobSection)
            && !r.flag(f.jobKey, o.*f.member))
            return false;
    }
    return true;
}

const QRegularExpression kUidPattern(QStringLiteral("^[0-9A-Fa-f]{4}[0-9]{6}$"));
const QRegularExpression kStepPattern(QStringLiteral("^[0-9]{10}$"));
const QRegularExpression kBlockPattern(QStringLiteral("^[0-9A-Fa-f]{8}$"));

} // namespace

Job::Job()
{
    // As the window starts.
    m_o.blockTexts[0] = QStringLiteral("00148040");
    for (int n = 1; n < 8; ++n)
        m_o.blockTexts[size_t(n)] = QStringLiteral("00000000");
    m_o.setUidText = QStringLiteral("0000000000");
    m_o.incText = QStringLiteral("0000000001");
}

Job Job::fromOptions(const AutoLoop::Options &options)
{
    Job job;
    job.m_o = options;
    job.m_o.blockTexts[7] = QStringLiteral("00000000");
    job.m_o.rewriteRecorded = false;
    if (job.m_o.base == AutoLoop::Options::Base::None)
        job.m_o.base = AutoLoop::Options::Base::Hex;
    return job;
}

namespace {

// The document is a job this tool reads: its format and version.
std::optional<QJsonObject> jobObject(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("it is not JSON (%1 at byte %2)")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return std::nullopt;
    }
    if (!doc.isObject() || doc.object().value(QStringLiteral("format")).toString() != kFormat) {
        *error = QStringLiteral("it is not a job (\"format\" must be \"%1\")").arg(kFormat);
        return std::nullopt;
    }
    const QJsonObject root = doc.object();
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (!version.isDouble() || version.toDouble() != double(version.toInt())
        || version.toInt() < 1) {
        *error = QStringLiteral("\"version\" must be a whole number from 1");
        return std::nullopt;
    }
    if (version.toInt() > Job::kVersion) {
        *error = QStringLiteral("it is a job of version %1; this tool reads version %2")
                     .arg(version.toInt())
                     .arg(Job::kVersion);
        return std::nullopt;
    }
    return root;
}

bool readTiming(const QJsonObject &timing, QString *error, AutoLoop::Options &o)
{
    Reader t(timing, QStringLiteral("timing"), error);
    QString pace = QString::fromLatin1(AutoLoop::paceName(o.pace));
    if (!t.text("pace", QRegularExpression(QStringLiteral("^(ticks|replies)$")),
                QStringLiteral("\"ticks\" or \"replies\""), pace))
        return false;
    o.pace = *AutoLoop::paceNamed(pace.toLower());
    const bool replies = o.pace == AutoLoop::Options::Pace::Replies;
    // At pace replies nothing waits for a tick but a tag's first command, which may come at
    // once; at the default pace it comes a tick after the report at the soonest.
    if (replies)
        o.firstCommandMs = AutoLoop::kRepliesFirstCommandMs;
    if (!t.number("stepMs", AutoLoop::kMinStepMs, AutoLoop::kMaxStepMs, o.stepMs)
        || !t.number("firstCommandMs", replies ? 0 : AutoLoop::kMinStepMs,
                     AutoLoop::kMaxFirstCommandMs, o.firstCommandMs)
        || !t.done())
        return false;
    if (!replies && o.firstCommandMs < o.stepMs) {
        t.fail("firstCommandMs",
               QStringLiteral("must be at least \"timing.stepMs\" (%1)").arg(o.stepMs));
        return false;
    }
    return true;
}

// The list's IDs, in its order, instead of a stepped UID.
bool readList(const QJsonObject &uid, const QJsonObject &list, bool incrementOff,
              const QString &folder, Reader &u, QString *error, AutoLoop::Options &o)
{
    for (const char *member : {"first", "step"}) {
        if (uid.contains(QString::fromLatin1(member))) {
            u.fail(member, QStringLiteral("cannot be given with \"uid.list\""));
            return false;
        }
    }
    if (!o.setUid || incrementOff) {
        u.fail("list", QStringLiteral("needs \"uid.write\" (and \"uid.increment\" not false)"));
        return false;
    }
    Reader l(list, QStringLiteral("uid.list"), error);
    QString file;
    int column = 1;
    if (!l.path("file", file) || !l.number("column", 1, 1000, column) || !l.done())
        return false;
    if (file.isEmpty()) {
        l.fail("file", QStringLiteral("must name the list's file"));
        return false;
    }
    const QString path
        = QDir(folder.isEmpty() ? QDir::currentPath() : folder).absoluteFilePath(file);
    QString why;
    std::optional<UidList> ids
        = UidList::load(path, column, o.base == AutoLoop::Options::Base::Hex, &why);
    if (!ids) {
        l.fail("file", QStringLiteral("names a list that cannot be used: ") + why);
        return false;
    }
    o.uidList = std::make_shared<const UidList>(std::move(*ids));
    o.autoInc = true;
    o.setUidText = o.uidList->ids().first().text;
    return true;
}

bool readUid(const QJsonObject &uid, const QString &folder, QString *error, AutoLoop::Options &o,
             bool &carryOn)
{
    Reader u(uid, QStringLiteral("uid"), error);
    QString base = QStringLiteral("hex");
    QString first;
    QString step;
    const std::optional<QJsonObject> list = u.object("list");
    if (!list || !readFlags(u, QLatin1StringView("uid"), o) || !u.flag("continue", carryOn)
        || !u.text("first", kUidPattern, QStringLiteral("ten digits, the first four hexadecimal"),
                   first)
        || !u.text("step", kStepPattern, QStringLiteral("ten decimal digits"), step)
        || !u.text("base", QRegularExpression(QStringLiteral("^(hex|dec)$")),
                   QStringLiteral("\"hex\" or \"dec\""), base)
        || !u.done())
        return false;
    std::optional<bool> increment;
    if (uid.contains(QStringLiteral("increment")))
        increment = o.autoInc;
    if (!first.isEmpty())
        o.setUidText = first;
    if (!step.isEmpty())
        o.incText = step;
    o.base = base == QLatin1String("DEC") ? AutoLoop::Options::Base::Dec
                                          : AutoLoop::Options::Base::Hex;
    if (!Uid::tagId(o.setUidText, o.base == AutoLoop::Options::Base::Hex)) {
        u.fail("first", QStringLiteral("is no tag ID in base %1").arg(base.toLower()));
        return false;
    }
    if (!list->isEmpty() && !readList(uid, *list, increment == false, folder, u, error, o))
        return false;
    if (o.autoInc && !o.setUid) {
        u.fail("increment", QStringLiteral("needs \"uid.write\""));
        return false;
    }
    if (carryOn && (!o.autoInc || o.uidList)) {
        u.fail("continue", o.uidList ? QStringLiteral("is not needed with \"uid.list\": a list "
                                                      "goes on after its used IDs by itself")
                                     : QStringLiteral("needs \"uid.increment\""));
        return false;
    }
    return true;
}

bool readBlocks(const QJsonObject &blocks, QString *error, AutoLoop::Options &o)
{
    Reader b(blocks, QStringLiteral("blocks"), error);
    for (int n = 1; n <= 6; ++n) {
        const QByteArray name = QByteArray::number(n);
        QString text;
        if (!b.text(name.constData(), kBlockPattern, QStringLiteral("eight hexadecimal digits"),
                    text))
            return false;
        o.blocks[size_t(n)] = !text.isEmpty();
        if (!text.isEmpty())
            o.blockTexts[size_t(n)] = text;
    }
    return b.done();
}

} // namespace

std::optional<Job> Job::parse(const QByteArray &json, QString *error, const QString &folder)
{
    const std::optional<QJsonObject> root = jobObject(json, error);
    if (!root)
        return std::nullopt;
    Job job;
    AutoLoop::Options &o = job.m_o;
    Reader top(*root, {}, error);
    top.skip("format");
    top.skip("version");
    const std::optional<QJsonObject> uid = top.object("uid");
    const std::optional<QJsonObject> blocks = uid ? top.object("blocks") : std::nullopt;
    const std::optional<QJsonObject> password = blocks ? top.object("password") : std::nullopt;
    const std::optional<QJsonObject> start = password ? top.object("start") : std::nullopt;
    const std::optional<QJsonObject> failures = start ? top.object("failures") : std::nullopt;
    const std::optional<QJsonObject> timing = failures ? top.object("timing") : std::nullopt;
    if (!timing || !readFlags(top, {}, o) || !top.done() || !readTiming(*timing, error, o))
        return std::nullopt;
    Reader f(*failures, QStringLiteral("failures"), error);
    if (!f.number("stopAfter", 0, AutoLoop::kMaxStopAfterFailures, o.stopAfterFailures)
        || !f.number("retries", 0, AutoLoop::kMaxBlockRetries, o.blockRetries) || !f.done())
        return std::nullopt;
    if (!readUid(*uid, folder, error, o, job.m_carryOn) || !readBlocks(*blocks, error, o))
        return std::nullopt;
    Reader p(*password, QStringLiteral("password"), error);
    Reader s(*start, QStringLiteral("start"), error);
    QString unlockList;
    if (!readFlags(p, QLatin1StringView("password"), o) || !p.path("unlockList", unlockList)
        || !p.done() || !readFlags(s, QLatin1StringView("start"), o) || !s.done())
        return std::nullopt;
    if (password->contains(QStringLiteral("unlockList"))) {
        if (!o.autoUnlock) {
            p.fail("unlockList", QStringLiteral("needs \"password.unlock\""));
            return std::nullopt;
        }
        QString why;
        std::optional<PasswordList::List> list = PasswordList::loadList(
            QDir(folder.isEmpty() ? QDir::currentPath() : folder).absoluteFilePath(unlockList),
            &why);
        if (!list) {
            p.fail("unlockList", QStringLiteral("names a list that cannot be used: ") + why);
            return std::nullopt;
        }
        o.unlockList = std::make_shared<const PasswordList::List>(std::move(*list));
    }
    return job;
}

std::optional<Job> Job::load(const QString &file, QString *error)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    if (in.size() > kMaxBytes) {
        *error = QStringLiteral("%1 is not a job: it is larger than %2 kB")
                     .arg(file)
                     .arg(kMaxBytes / 1024);
        return std::nullopt;
    }
    std::optional<Job> job = parse(in.read(kMaxBytes), error, QFileInfo(file).absolutePath());
    if (!job)
        *error = QStringLiteral("%1: %2").arg(file, *error);
    return job;
}

QByteArray Job::toJson(const QString &folder) const
{
    return QJsonDocument(toObject(folder)).toJson(QJsonDocument::Indented);
}

QJsonObject Job::toObject(const QString &folder) const
{
    QJsonObject blocks;
    for (int n = 1; n <= 6; ++n) {
        if (m_o.blocks[size_t(n)])
            blocks.insert(QString::number(n), m_o.blockTexts[size_t(n)]);
    }
    QHash<QString, QJsonObject> sections;
    for (const AutoLoop::Flag &f : AutoLoop::kFlags) {
        if (f.jobKey)
            sections[QString::fromLatin1(f.jobSection)].insert(QString::fromLatin1(f.jobKey),
                                                               m_o.*f.member);
    }
    QJsonObject &uid = sections[QStringLiteral("uid")];
    uid.insert(QStringLiteral("base"), m_o.base == AutoLoop::Options::Base::Dec
                                           ? QStringLiteral("dec")
                                           : QStringLiteral("hex"));
    if (m_o.uidList && !m_o.uidList->file().isEmpty()) {
        // Beside the job, the list is named relative to it, so the two move together.
        const QString listFile = m_o.uidList->file();
        const QString file = folder.isEmpty() ? listFile : QDir(folder).relativeFilePath(listFile);
        uid.insert(QStringLiteral("list"),
                   QJsonObject{{QStringLiteral("file"), file},
                               {QStringLiteral("column"), m_o.uidList->column()}});
    } else {
        uid.insert(QStringLiteral("first"), m_o.setUidText);
        uid.insert(QStringLiteral("step"), m_o.incText);
        if (m_carryOn)
            uid.insert(QStringLiteral("continue"), true);
    }
    if (m_o.unlockList) {
        const QString listFile = m_o.unlockList->file;
        sections[QStringLiteral("password")].insert(
            QStringLiteral("unlockList"),
            folder.isEmpty() ? listFile : QDir(folder).relativeFilePath(listFile));
    }
    QJsonObject root = sections.take(QString());
    for (auto it = sections.cbegin(); it != sections.cend(); ++it)
        root.insert(it.key(), it.value());
    root.insert(QStringLiteral("format"), kFormat);
    root.insert(QStringLiteral("version"), kVersion);
    root.insert(QStringLiteral("blocks"), blocks);
    root.insert(QStringLiteral("failures"),
                QJsonObject{{QStringLiteral("stopAfter"), m_o.stopAfterFailures},
                            {QStringLiteral("retries"), m_o.blockRetries}});
    // Advanced: only a job that changes the loop's timing says so.
    const AutoLoop::Options defaults;
    if (m_o.pace != defaults.pace || m_o.stepMs != defaults.stepMs
        || m_o.firstCommandMs != defaults.firstCommandMs) {
        QJsonObject timing{{QStringLiteral("stepMs"), m_o.stepMs},
                           {QStringLiteral("firstCommandMs"), m_o.firstCommandMs}};
        if (m_o.pace != defaults.pace)
            timing.insert(QStringLiteral("pace"), QLatin1StringView(AutoLoop::paceName(m_o.pace)));
        root.insert(QStringLiteral("timing"), timing);
    }
    return root;
}

bool Job::save(const QString &file, QString *error) const
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(toJson(QFileInfo(file).absolutePath())) < 0
        || !out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

AutoLoop::Options Job::options(const QString &password) const
{
    AutoLoop::Options o = m_o;
    if (needsPassword())
        o.blockTexts[7] = password.toUpper();
    return o;
}
