#include "taginspector.h"

#include "blockoperations.h"
#include "blockpanel.h"
#include "core/autoloop.h"
#include "core/em4100.h"
#include "core/palette.h"
#include "core/reply.h"
#include "core/tagconfig.h"
#include "inspectionbar.h"
#include "link/readerlink.h"
#include "widgets/dialogs.h"
#include "widgets/maskedfield.h"
#include "widgets/statusline.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSaveFile>
#include <QToolButton>

using namespace Palette;

namespace {

const QString kFormat = QStringLiteral("kestrel-rfid-tag");
constexpr qint64 kMaxFileBytes = 64 * 1024;

// The blocks of a tag file, or what is wrong with it.
struct TagFile {
    std::array<std::optional<QString>, 8> blocks;
    QString problem;
};

TagFile readTagFile(const QString &path)
{
    TagFile t;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        t.problem = QStringLiteral("%1 cannot be read: %2").arg(path, f.errorString());
        return t;
    }
    if (f.size() > kMaxFileBytes) {
        t.problem = QStringLiteral("%1 is too large to be a tag file").arg(path);
        return t;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
    const QJsonObject o = doc.object();
    if (error.error != QJsonParseError::NoError || !doc.isObject()
        || o.value(QStringLiteral("format")).toString() != kFormat) {
        t.problem = QStringLiteral("%1 is not a tag file of this tool").arg(path);
        return t;
    }
    if (o.value(QStringLiteral("version")).toInt() > TagInspector::kFormatVersion) {
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
        t.blocks[size_t(n)] = v.toString().toUpper();
    }
    return t;
}

} // namespace

TagInspector::TagInspector(Parts parts, QObject *parent)
    : QObject(parent)
    , m_p(parts)
{
    connect(m_p.bar.readAllButton(), &QToolButton::clicked, this, &TagInspector::readAll);
    connect(m_p.bar.saveButton(), &QToolButton::clicked, this, [this] {
        if (refuseWhileBusy(QStringLiteral("Save tag")))
            return;
        const QString file = QFileDialog::getSaveFileName(
            m_p.bar.window(), QStringLiteral("Save tag"), QStringLiteral("tag.json"),
            QStringLiteral("Tag files (*.json)"));
        QString error;
        if (!file.isEmpty() && !saveTo(file, &error))
            m_p.dialogs.warning(QStringLiteral("Save tag"), error);
    });
    connect(m_p.bar.restoreButton(), &QToolButton::clicked, this, [this] {
        if (refuseWhileBusy(QStringLiteral("Restore tag")))
            return;
        const QString file
            = QFileDialog::getOpenFileName(m_p.bar.window(), QStringLiteral("Restore tag"), {},
                                           QStringLiteral("Tag files (*.json)"));
        if (!file.isEmpty())
            restoreFrom(file);
    });
    for (int n = 0; n < 3; ++n)
        connect(m_p.blocks.field(n), &MaskedField::textChanged, this, &TagInspector::updateInfo);
    updateInfo();
}

void TagInspector::updateInfo()
{
    m_p.bar.configInfo()->setText(QStringLiteral("B0: ")
                                  + TagConfig::describe(m_p.blocks.block(0)));
    bool ok1 = false;
    bool ok2 = false;
    const quint32 b1 = m_p.blocks.block(1).toUInt(&ok1, 16);
    const quint32 b2 = m_p.blocks.block(2).toUInt(&ok2, 16);
    const Em4100::Check c = Em4100::check(b1, b2);
    QString text;
    if (!ok1 || !ok2)
        text = QStringLiteral("B1-B2: not eight hexadecimal digits");
    else if (c.id)
        text = QStringLiteral("B1-B2: EM4100 ID %1 (%2)")
                   .arg(*c.id, 10, 16, QLatin1Char('0'))
                   .toUpper()
                   .arg(Em4100::decimalForm(*c.id));
    else
        text = QStringLiteral("B1-B2: no EM4100 ID (%1)").arg(c.failure);
    m_p.bar.idInfo()->setText(text);
}

bool TagInspector::refuseWhileBusy(const QString &title)
{
    if (m_p.loop.AutoWriteRunning()) {
        m_p.dialogs.information(title, QStringLiteral("Stop the automatic writing first."));
        return true;
    }
    if (busy()) {
        m_p.dialogs.information(title, QStringLiteral("Wait until the tag has been read or "
                                                      "written."));
        return true;
    }
    return false;
}

void TagInspector::readAll()
{
    if (refuseWhileBusy(QStringLiteral("Read all")))
        return;
    m_job = Job::ReadAll;
    m_read = {};
    m_failed.clear();
    m_next = 0;
    readNext();
}

void TagInspector::readNext()
{
    if (m_next >= 8) {
        finishReadAll();
        return;
    }
    m_p.operations.read(m_next);
}

void TagInspector::finishReadAll()
{
    m_job = Job::None;
    if (m_failed.isEmpty()) {
        m_p.status.showMessage(QStringLiteral("Read all: 8 of 8"), ColorDodgerBlue);
        return;
    }
    QStringList blocks;
    for (int n : m_failed)
        blocks << QString::number(n);
    m_p.status.showMessage(QStringLiteral("Read all: %1 of 8 (block %2 failed)")
                               .arg(8 - m_failed.size())
                               .arg(blocks.join(QStringLiteral(", "))),
                           ColorOrangeRed);
}

void TagInspector::onReplyInterpreted(const QString &head)
{
    const Reply::Parsed r = Reply::classify(head);
    if (r.kind == Reply::Kind::BlockRead && r.block >= 0 && r.block < 8
        && Reply::isBlockValue(r.payload))
        m_read[size_t(r.block)] = true;
    if (r.kind == Reply::Kind::Message && r.code == Reply::kOutOfRange)
        m_read = {};
    if (m_job == Job::ReadAll) {
        const bool ok = r.kind == Reply::Kind::BlockRead && r.block == m_next
                        && Reply::isBlockValue(r.payload);
        if (!ok)
            m_failed << m_next;
        ++m_next;
        readNext();
        return;
    }
    if (m_job != Job::Restore || m_written >= m_plan.size())
        return;
    const Write &w = m_plan[m_written];
    if (!confirmsWrite(head, w)) {
        stopRestore(QStringLiteral("block %1 read back %2").arg(w.block).arg(head.trimmed()));
        return;
    }
    // From here on a protected tag answers to the password just written.
    if (w.block == 7)
        m_password = w.value;
    ++m_written;
    writeNext();
}

void TagInspector::onReplyTimedOut()
{
    if (m_job == Job::ReadAll) {
        m_failed << m_next;
        ++m_next;
        readNext();
        return;
    }
    if (m_job == Job::Restore && m_written < m_plan.size())
        stopRestore(QStringLiteral("block %1 got no reply").arg(m_plan[m_written].block));
}

bool TagInspector::saveTo(const QString &file, QString *error)
{
    QJsonArray blocks;
    bool any = false;
    for (int n = 0; n < 8; ++n) {
        if (!m_read[size_t(n)]) {
            blocks.append(QJsonValue::Null);
            continue;
        }
        blocks.append(m_p.blocks.block(n));
        any = true;
    }
    if (!any) {
        *error = QStringLiteral("No block of this tag has been read yet: use Read All first.");
        return false;
    }
    QJsonObject o;
    o.insert(QStringLiteral("format"), kFormat);
    o.insert(QStringLiteral("version"), kFormatVersion);
    o.insert(QStringLiteral("saved"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QString uid = m_p.loop.LastUID();
    o.insert(QStringLiteral("uid"), uid.isEmpty() ? QJsonValue(QJsonValue::Null) : uid);
    o.insert(QStringLiteral("passwordUsed"), m_p.blocks.pwdBox()->isChecked());
    o.insert(QStringLiteral("blocks"), blocks);
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(o).toJson()) < 0
        || !out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    m_p.status.showMessage(QStringLiteral("Tag saved"), ColorDodgerBlue);
    return true;
}

void TagInspector::restoreFrom(const QString &file)
{
    const QString title = QStringLiteral("Restore tag");
    if (refuseWhileBusy(title))
        return;
    const TagFile t = readTagFile(file);
    if (!t.problem.isEmpty()) {
        m_p.dialogs.warning(title, t.problem + u'.');
        return;
    }
    QList<Write> plan;
    for (int n = 1; n <= 7; ++n) {
        if (t.blocks[size_t(n)])
            plan << Write{n, *t.blocks[size_t(n)]};
    }
    if (const auto &word = t.blocks[0]) {
        const TagConfig::Config c = TagConfig::decode(word->toUInt(nullptr, 16));
        if ((c.pwd || c.aor) && !t.blocks[7]) {
            m_p.dialogs.warning(title, QStringLiteral("The file's block 0 (%1) protects the tag, "
                                                      "but the file carries no block 7 with "
                                                      "its password. Nothing was written.")
                                           .arg(*word));
            return;
        }
        if (c.pwd || c.aor) {
            const QString ask
                = QStringLiteral("The file's block 0 (%1) turns on %2. After the restore the "
                                 "tag answers only to the password %3 (block 7).\n\nWrite it?")
                      .arg(*word,
                           c.pwd && c.aor ? QStringLiteral("PWD and AOR")
                           : c.pwd        ? QStringLiteral("PWD")
                                          : QStringLiteral("AOR"),
                           *t.blocks[7]);
            if (!m_p.dialogs.question(title, ask))
                return;
        }
        plan << Write{0, *word};
    }
    if (plan.isEmpty()) {
        m_p.dialogs.warning(title, QStringLiteral("%1 holds no block to write.").arg(file));
        return;
    }
    m_plan = plan;
    m_written = 0;
    m_protectedTag = m_p.blocks.pwdBox()->isChecked();
    m_password = m_p.blocks.block(7);
    m_job = Job::Restore;
    writeNext();
}

void TagInspector::writeNext()
{
    if (m_written >= m_plan.size()) {
        m_job = Job::None;
        m_p.status.showMessage(
            QStringLiteral("Restore complete: %1 blocks written").arg(m_plan.size()), ColorGreen);
        return;
    }
    const Write &w = m_plan[m_written];
    // The field shows what is being written, so the write's own confirmation is right; a
    // protected tag is written with its password, as the block panel does.
    m_p.blocks.setBlock(w.block, w.value);
    m_p.link.SendCommand(
        BlockOperations::writeCommand(w.block, w.value, m_protectedTag ? m_password : QString()));
}

bool TagInspector::confirmsWrite(const QString &head, const Write &w) const
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

void TagInspector::stopRestore(const QString &why)
{
    m_job = Job::None;
    m_p.status.showMessage(QStringLiteral("Restore stopped: ") + why, ColorOrangeRed);
}
