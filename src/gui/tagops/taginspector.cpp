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
#include <QFileInfo>
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
    connect(m_p.bar.compareButton(), &QToolButton::clicked, this, [this] {
        if (refuseWhileBusy(QStringLiteral("Compare with file")))
            return;
        const QString file
            = QFileDialog::getOpenFileName(m_p.bar.window(), QStringLiteral("Compare with file"),
                                           {}, QStringLiteral("Tag files (*.json)"));
        if (!file.isEmpty())
            compareWith(file);
    });
    connect(m_p.bar.findPasswordButton(), &QToolButton::clicked, this, [this] {
        if (m_job == Job::FindPassword) {
            cancelFindPassword();
            return;
        }
        const QString title = QStringLiteral("Find password");
        if (refuseWhileBusy(title))
            return;
        QString list;
        if (m_p.dialogs.question(title, QStringLiteral("The well-known passwords are tried "
                                                       "first. Try a list of your own after "
                                                       "them?"))) {
            list = QFileDialog::getOpenFileName(
                m_p.bar.window(), QStringLiteral("Password list"), {},
                QStringLiteral("Password lists (*.txt);;All files (*)"));
            if (list.isEmpty())
                return;
        }
        findPassword(list);
    });
    for (int n = 0; n < 3; ++n)
        connect(m_p.blocks.field(n), &MaskedField::textChanged, this, &TagInspector::updateInfo);
    updateInfo();
}

void TagInspector::updateInfo()
{
    // An extended-mode word says more than the bar has room for: all of it is in the tip.
    const QString config = QStringLiteral("B0: ") + TagConfig::describe(m_p.blocks.block(0));
    m_p.bar.configInfo()->setText(config);
    m_p.bar.configInfo()->setToolTip(config);
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
    // A report of the field that crosses a read is no answer to it.
    const bool answer = r.kind == Reply::Kind::BlockRead || r.kind == Reply::Kind::Error;
    if ((m_job == Job::Compare || m_job == Job::FindPassword) && !answer)
        return;
    if (m_job == Job::Compare) {
        const int n = m_compareBlocks[m_next];
        if (r.kind == Reply::Kind::BlockRead && r.block == n && Reply::isBlockValue(r.payload))
            m_tagValues[size_t(n)] = r.payload;
        ++m_next;
        compareNext();
        return;
    }
    if (m_job == Job::FindPassword) {
        searchAnswered(r);
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
    if (m_job == Job::Compare) {
        ++m_next;
        compareNext();
    }
    if (m_job == Job::FindPassword)
        searchAnswered(std::nullopt);
}

std::optional<TagFile::Loaded> TagInspector::loadFor(const QString &title, const QString &file)
{
    if (refuseWhileBusy(title))
        return std::nullopt;
    TagFile::Loaded t = TagFile::load(file);
    if (!t.problem.isEmpty()) {
        m_p.dialogs.warning(title, t.problem + u'.');
        return std::nullopt;
    }
    return t;
}

void TagInspector::compareWith(const QString &file)
{
    const QString title = QStringLiteral("Compare with file");
    const std::optional<TagFile::Loaded> t = loadFor(title, file);
    if (!t)
        return;
    // Block 7 is the password: read only with it, as Read All does.
    m_compareBlocks = TagFile::compared(t->contents, m_p.blocks.pwdBox()->isChecked());
    if (m_compareBlocks.isEmpty()) {
        m_p.dialogs.warning(title, t->contents.blocks[7]
                                       ? QStringLiteral("%1 holds only block 7, the password: "
                                                        "check PWD, with the password in the "
                                                        "block 7 field, to compare it.")
                                             .arg(file)
                                       : QStringLiteral("%1 holds no block to compare.").arg(file));
        return;
    }
    m_golden = t->contents;
    m_goldenName = QFileInfo(file).fileName();
    m_tagValues = {};
    m_next = 0;
    m_p.bar.showResult({}, ColorDodgerBlue);
    m_job = Job::Compare;
    compareNext();
}

void TagInspector::compareNext()
{
    if (m_next >= m_compareBlocks.size()) {
        finishCompare();
        return;
    }
    m_p.operations.read(m_compareBlocks[m_next]);
}

void TagInspector::finishCompare()
{
    m_job = Job::None;
    const QList<TagFile::Difference> differences
        = TagFile::compare(m_golden, m_tagValues, m_compareBlocks.contains(7));
    QStringList blocks;
    for (int n : m_compareBlocks)
        blocks << QString::number(n);
    if (differences.isEmpty()) {
        showResult(
            QStringLiteral("Compare: equal to %1 (blocks %2)").arg(m_goldenName, blocks.join(u',')),
            ColorGreen);
        return;
    }
    QStringList named;
    for (const TagFile::Difference &d : differences)
        named << QStringLiteral("block %1 (file %2, tag %3)").arg(d.block).arg(d.file, d.tag);
    showResult(QStringLiteral("Compare: %1 of %2 blocks differ from %3: %4")
                   .arg(differences.size())
                   .arg(m_compareBlocks.size())
                   .arg(m_goldenName, named.join(QStringLiteral("; "))),
               ColorOrangeRed);
}

void TagInspector::findPassword(const QString &list)
{
    const QString title = QStringLiteral("Find password");
    if (refuseWhileBusy(title))
        return;
    QList<PasswordList::Candidate> listed;
    if (!list.isEmpty()) {
        const PasswordList::Loaded l = PasswordList::load(list);
        if (!l.problem.isEmpty()) {
            m_p.dialogs.warning(title, l.problem + u'.');
            return;
        }
        if (!l.skipped.isEmpty())
            m_p.dialogs.information(
                title, QStringLiteral("%1: %2 skipped.")
                               .arg(list, l.skipped.mid(0, 5).join(QStringLiteral("; ")))
                           + (l.skipped.size() > 5
                                  ? QStringLiteral(" (%1 lines in all)").arg(l.skipped.size())
                                  : QString()));
        listed = l.candidates;
    }
    m_search.emplace(PasswordList::together(listed));
    m_probing = true;
    m_job = Job::FindPassword;
    m_p.bar.findPasswordButton()->setText(QStringLiteral("Cancel"));
    showResult(QStringLiteral("Find password: %1 to try").arg(m_search->total()), ColorDodgerBlue);
    // A tag that gives block 7 without a password has none to find.
    m_p.link.SendCommand(QStringLiteral("RB7"));
}

void TagInspector::searchAnswered(const std::optional<Reply::Parsed> &reply)
{
    if (std::exchange(m_probing, false)) {
        if (reply && reply->kind == Reply::Kind::BlockRead && reply->block == 7) {
            finishSearch(QStringLiteral("Find password: the tag is not protected (block 7 reads "
                                        "without a password)"),
                         ColorDodgerBlue);
            return;
        }
    } else {
        m_search->answered(reply);
    }
    if (const std::optional<PasswordList::Candidate> found = m_search->found()) {
        // Shown masked, as the field always is, until the operator asks to see it.
        m_p.blocks.setBlock(7, found->password);
        m_p.blocks.pwdBox()->setChecked(true);
        finishSearch(QStringLiteral("Find password: ") + m_search->outcome(), ColorGreen);
        return;
    }
    if (const std::optional<QString> command = m_search->nextCommand()) {
        m_p.bar.showResult(QStringLiteral("Find password: %1 of %2 tried")
                               .arg(m_search->tried())
                               .arg(m_search->total()),
                           ColorDodgerBlue);
        m_p.link.SendCommand(*command);
        return;
    }
    finishSearch(QStringLiteral("Find password: ") + m_search->outcome(), ColorOrangeRed);
}

void TagInspector::cancelFindPassword()
{
    if (m_job != Job::FindPassword)
        return;
    finishSearch(QStringLiteral("Find password: cancelled after %1 of %2")
                     .arg(m_search->tried())
                     .arg(m_search->total()),
                 ColorOrangeRed);
}

void TagInspector::finishSearch(const QString &text, quint32 colour)
{
    m_job = Job::None;
    m_search.reset();
    m_probing = false;
    m_p.bar.findPasswordButton()->setText(QStringLiteral("Find Password..."));
    showResult(text, colour);
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
    const std::optional<TagFile::Loaded> t = loadFor(title, file);
    if (!t)
        return;
    const TagFile::Plan plan = TagFile::plan(t->contents, file);
    if (!plan.problem.isEmpty()) {
        m_p.dialogs.warning(title, plan.problem);
        return;
    }
    if (!plan.protects.isEmpty()) {
        const QString ask = QStringLiteral("The file's block 0 (%1) turns on %2. After the restore "
                                           "the tag answers only to the password %3 (block 7)."
                                           "\n\nWrite it?")
                                .arg(*t->contents.blocks[0], plan.protects, *t->contents.blocks[7]);
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
