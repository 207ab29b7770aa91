#include "tagfile.h"

#include "core/reply.h"
#include "core/tagconfig.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace TagFile {

namespace {

const QString kFormat = QStringLiteral("kestrel-rfid-tag");
constexpr qint64 kMaxFileBytes = 64 * 1024;

} // namespace

Loaded load(const QString &path)
{
    Loaded t;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        t.problem = QStringLiteral("%1 cannot be read: %2").arg(path, f.errorString());
        return t;
    }
    if (f.size() > kMaxFileBytes) {
        t.problem = QStringLiteral("%1 is too large to be a tag file").arg(path);
        return t;
    }
    return parse(f.read(kMaxFileBytes + 1), path);
}

Loaded parse(const QByteArray &text, const QString &path)
{
    Loaded t;
    if (text.size() > kMaxFileBytes) {
        t.problem = QStringLiteral("%1 is too large to be a tag file").arg(path);
        return t;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    const QJsonObject o = doc.object();
    if (error.error != QJsonParseError::NoError || !doc.isObject()
        || o.value(QStringLiteral("format")).toString() != kFormat) {
        t.problem = QStringLiteral("%1 is not a tag file of this tool").arg(path);
        return t;
    }
    if (o.value(QStringLiteral("version")).toInt() > kVersion) {
        t.problem = QStringLiteral("%1 was written by a newer version of the tool").arg(path);
        return t;
    }
    const QJsonArray blocks = o.value(QStringLiteral("blocks")).toArray();
    if (blocks.size() != 8) {
        t.problem = QStringLiteral("%1 does not hold eight blocks").arg(path);
        return t;
    }
    for (int n = 0; n < 8; ++n) {
        const QJsonValue v = blocks.at(n);
        if (v.isNull())
            continue;
        if (!Reply::isBlockValue(v.toString())) {
            t.problem
                = QStringLiteral("block %1 in %2 is not eight hexadecimal digits").arg(n).arg(path);
            return t;
        }
        t.contents.blocks[size_t(n)] = v.toString().toUpper();
    }
    t.contents.uid = o.value(QStringLiteral("uid")).toString();
    t.contents.passwordUsed = o.value(QStringLiteral("passwordUsed")).toBool();
    return t;
}

bool save(const QString &path, const Contents &c, QString *error)
{
    QJsonArray blocks;
    bool any = false;
    for (const std::optional<QString> &b : c.blocks) {
        blocks.append(b ? QJsonValue(*b) : QJsonValue(QJsonValue::Null));
        any = any || b;
    }
    if (!any) {
        *error = QStringLiteral("No block of this tag has been read yet: use Read All first.");
        return false;
    }
    QJsonObject o;
    o.insert(QStringLiteral("format"), kFormat);
    o.insert(QStringLiteral("version"), kVersion);
    o.insert(QStringLiteral("saved"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    o.insert(QStringLiteral("uid"), c.uid.isEmpty() ? QJsonValue(QJsonValue::Null) : c.uid);
    o.insert(QStringLiteral("passwordUsed"), c.passwordUsed);
    o.insert(QStringLiteral("blocks"), blocks);
    QSaveFile out(path);
    const bool opened = out.open(QIODevice::WriteOnly);
    // Block 7 is the tag's password: the file is its owner's alone, set before it is written.
    if (opened && c.blocks[7])
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!opened || out.write(QJsonDocument(o).toJson()) < 0 || !out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

Plan plan(const Contents &c, const QString &path)
{
    Plan p;
    for (int n = 1; n <= 7; ++n) {
        if (c.blocks[size_t(n)])
            p.writes << Write{n, *c.blocks[size_t(n)]};
    }
    if (const auto &word = c.blocks[0]) {
        const TagConfig::Config config = TagConfig::decode(word->toUInt(nullptr, 16));
        if ((config.pwd || config.aor) && !c.blocks[7]) {
            p.problem = QStringLiteral("The file's block 0 (%1) protects the tag, but the file "
                                       "carries no block 7 with its password. Nothing was "
                                       "written.")
                            .arg(*word);
            return p;
        }
        p.protects = config.pwd && config.aor ? QStringLiteral("PWD and AOR")
                     : config.pwd             ? QStringLiteral("PWD")
                     : config.aor             ? QStringLiteral("AOR")
                                              : QString();
        p.writes << Write{0, *word};
    }
    if (p.writes.isEmpty())
        p.problem = QStringLiteral("%1 holds no block to write.").arg(path);
    return p;
}

bool confirms(const QString &head, const Write &w)
{
    const Reply::Parsed r = Reply::classify(head);
    if (w.block == 0) {
        // A tag that now answers only on request falls silent; one with PWD set reads its
        // configuration back shifted, as the box reports it.
        const quint32 word = w.value.toUInt(nullptr, 16);
        if ((word & TagConfig::kAor) && r.kind == Reply::Kind::Error && r.code == Reply::kNoTag)
            return true;
        if (r.kind == Reply::Kind::BlockWrite && r.block == 0
            && r.payload == QStringLiteral("%1").arg(word >> 4, 8, 16, QLatin1Char('0')).toUpper())
            return true;
    }
    return r.kind == Reply::Kind::BlockWrite && r.block == w.block && r.payload == w.value;
}

QList<int> compared(const Contents &file, bool withPassword)
{
    QList<int> blocks;
    for (int n = 0; n < 8; ++n) {
        if (file.blocks[size_t(n)] && (n != 7 || withPassword))
            blocks << n;
    }
    return blocks;
}

QList<Difference> compare(const Contents &file, const std::array<std::optional<QString>, 8> &tag,
                          bool withPassword)
{
    QList<Difference> differences;
    for (int n : compared(file, withPassword)) {
        const QString want = file.blocks[size_t(n)]->toUpper();
        const std::optional<QString> &got = tag[size_t(n)];
        if (got && got->toUpper() == want)
            continue;
        // The password is named, never shown, on either side.
        const QString secret = QStringLiteral("(password)");
        differences.append({n, n == 7 ? secret : want,
                            !got     ? QStringLiteral("not read")
                            : n == 7 ? secret
                                     : got->toUpper()});
    }
    return differences;
}

} // namespace TagFile
