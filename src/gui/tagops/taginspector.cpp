#include "taginspector.h"

#include "blockoperations.h"
#include "blockpanel.h"
#include "core/autoloop.h"
#include "core/commands.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/tagconfig.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "inspectionbar.h"
#include "station/link/readerlink.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QToolButton>

using namespace Palette;

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
    m_p.bar.showResult({}, ColorDodgerBlue);
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
        showResult(QStringLiteral("Read all: 8 of 8"), ColorDodgerBlue);
        return;
    }
    QStringList blocks;
    for (int n : m_failed)
        blocks << QString::number(n);
    showResult(QStringLiteral("Read all: %1 of 8 (block %2 failed)")
                   .arg(8 - m_failed.size())
                   .arg(blocks.join(QStringLiteral(", "))),
               ColorOrangeRed);
}

void TagInspector::showResult(const QString &text, quint32 colour)
{
    m_p.status.showMessage(text, colour);
    m_p.bar.showResult(text, colour);
}

void TagInspector::onReply(const QString &head, const Reply::Parsed &r)
{
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
    if (!TagFile::confirms(head, w)) {
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
    TagFile::Contents c;
    for (int n = 0; n < 8; ++n) {
        if (m_read[size_t(n)])
            c.blocks[size_t(n)] = m_p.blocks.block(n);
    }
    c.uid = m_p.loop.LastUID();
    c.passwordUsed = m_p.blocks.pwdBox()->isChecked();
    if (!TagFile::save(file, c, error))
        return false;
    showResult(QStringLiteral("Tag saved"), ColorDodgerBlue);
    return true;
}

void TagInspector::restoreFrom(const QString &file)
{
    const QString title = QStringLiteral("Restore tag");
    if (refuseWhileBusy(title))
        return;
    const TagFile::Loaded t = TagFile::load(file);
    if (!t.problem.isEmpty()) {
        m_p.dialogs.warning(title, t.problem + u'.');
        return;
    }
    const TagFile::Plan plan = TagFile::plan(t.contents, file);
    if (!plan.problem.isEmpty()) {
        m_p.dialogs.warning(title, plan.problem);
        return;
    }
    if (!plan.protects.isEmpty()) {
        const QString ask = QStringLiteral("The file's block 0 (%1) turns on %2. After the restore "
                                           "the tag answers only to the password %3 (block 7)."
                                           "\n\nWrite it?")
                                .arg(*t.contents.blocks[0], plan.protects, *t.contents.blocks[7]);
        if (!m_p.dialogs.question(title, ask))
            return;
    }
    m_p.bar.showResult({}, ColorDodgerBlue);
    m_plan = plan.writes;
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
        showResult(QStringLiteral("Restore complete: %1 blocks written").arg(m_plan.size()),
                   ColorGreen);
        return;
    }
    const Write &w = m_plan[m_written];
    // The field shows what is being written, so the write's own confirmation is right; a
    // protected tag is written with its password, as the block panel does.
    m_p.blocks.setBlock(w.block, w.value);
    m_p.link.SendCommand(
        Commands::writeBlock(w.block, w.value, m_protectedTag ? m_password : QString()));
}

void TagInspector::stopRestore(const QString &why)
{
    m_job = Job::None;
    showResult(QStringLiteral("Restore stopped: ") + why, ColorOrangeRed);
}
