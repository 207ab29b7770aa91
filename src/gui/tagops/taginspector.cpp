#include "taginspector.h"

#include "blockoperations.h"
#include "blockpanel.h"
#include "core/autoloop.h"
#include "core/commands.h"
#include "core/configword.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/tagconfig.h"
#include "gui/uid/idguard.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "inspectionbar.h"
#include "station/link/readerlink.h"
#include "station/record/recorder.h"

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
    connect(m_p.bar.wipeButton(), &QToolButton::clicked, this, &TagInspector::wipe);
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
    const bool reading = m_job == Job::Compare || m_job == Job::WipeRead || m_job == Job::GuardRead;
    if ((reading || m_job == Job::FindPassword) && !answer)
        return;
    if (reading) {
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
    if (m_job == Job::BlockWrite) {
        if (r.kind != Reply::Kind::BlockWrite && r.kind != Reply::Kind::Error)
            return;
        m_job = Job::None;
        const Write &w = m_guarded.plan.first();
        const bool ok = TagFile::confirms(head, w);
        if (m_recording)
            m_p.record.manualJobWrote(AutoLoop::Write{
                AutoLoop::Step::Idle, w.block, w.value,
                r.kind == Reply::Kind::BlockWrite ? r.payload : QString(), true, ok});
        endRecording(ok ? AutoLoop::TagOutcome::Result::Complete
                        : AutoLoop::TagOutcome::Result::Failed,
                     ok ? QString() : QStringLiteral("answered ") + head.trimmed());
        return;
    }
    if ((m_job != Job::Restore && m_job != Job::Wipe) || m_written >= m_plan.size())
        return;
    const Write &w = m_plan[m_written];
    const bool ok = TagFile::confirms(head, w);
    if (m_recording)
        m_p.record.manualJobWrote(
            AutoLoop::Write{AutoLoop::Step::Idle, w.block, w.value,
                            r.kind == Reply::Kind::BlockWrite ? r.payload : QString(), true, ok});
    if (!ok) {
        // Never the password a refused block 7 may still answer with.
        stopWriting(QStringLiteral("block %1 read back %2")
                        .arg(w.block)
                        .arg(r.kind == Reply::Kind::BlockWrite
                                 ? AutoLoop::shownValue(w.block, r.payload)
                                 : head.trimmed()),
                    true);
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
    if (m_job == Job::BlockWrite) {
        m_job = Job::None;
        const Write &w = m_guarded.plan.first();
        if (m_recording)
            m_p.record.manualJobWrote(
                AutoLoop::Write{AutoLoop::Step::Idle, w.block, w.value, {}, false, false});
        endRecording(AutoLoop::TagOutcome::Result::Stalled, QStringLiteral("no reply"));
    }
    if ((m_job == Job::Restore || m_job == Job::Wipe) && m_written < m_plan.size()) {
        const Write &w = m_plan[m_written];
        if (m_recording)
            m_p.record.manualJobWrote(
                AutoLoop::Write{AutoLoop::Step::Idle, w.block, w.value, {}, false, false});
        stopWriting(QStringLiteral("block %1 got no reply").arg(w.block), false);
    }
    if (m_job == Job::Compare || m_job == Job::WipeRead || m_job == Job::GuardRead) {
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
        if (m_job == Job::WipeRead)
            wipeRead();
        else if (m_job == Job::GuardRead)
            guardRead();
        else
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
            m_p.dialogs.information(title, PasswordList::skippedSummary(list, l.skipped));
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
        // The password itself is a secret like any other: the file holds it, the box does not
        // show it.
        const QString ask = QStringLiteral("The file's block 0 (%1) turns on %2. After the restore "
                                           "the tag answers only to the password the file holds "
                                           "in block 7.\n\nWrite it?")
                                .arg(*t->contents.blocks[0], plan.protects);
        if (!m_p.dialogs.question(title, ask))
            return;
    }
    m_p.bar.showResult({}, ColorDodgerBlue);
    const bool touchesId = std::any_of(plan.writes.cbegin(), plan.writes.cend(),
                                       [](const Write &w) { return w.block == 1 || w.block == 2; });
    if (touchesId)
        startGuard(plan.writes, true, title);
    else
        startWriting(plan.writes, Job::Restore);
}

void TagInspector::startWriting(const QList<Write> &plan, Job job)
{
    m_plan = plan;
    m_written = 0;
    m_protectedTag = m_p.blocks.pwdBox()->isChecked();
    m_password = m_p.blocks.block(7);
    m_job = job;
    writeNext();
}

void TagInspector::writeNext()
{
    if (m_written >= m_plan.size()) {
        endRecording(AutoLoop::TagOutcome::Result::Complete, {});
        if (std::exchange(m_job, Job::None) == Job::Wipe) {
            // Blank: the tag has no password to give any more.
            m_p.blocks.pwdBox()->setChecked(false);
            showResult(QStringLiteral("Wipe complete: blocks 1-7 zero, block 0 %1 (blank)")
                           .arg(ConfigWord::kBlank),
                       ColorGreen);
            return;
        }
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

void TagInspector::stopWriting(const QString &why, bool answered)
{
    endRecording(answered ? AutoLoop::TagOutcome::Result::Failed
                          : AutoLoop::TagOutcome::Result::Stalled,
                 QStringLiteral("stopped at ") + why);
    if (std::exchange(m_job, Job::None) != Job::Wipe) {
        showResult(QStringLiteral("Restore stopped: ") + why, ColorOrangeRed);
        return;
    }
    // Block 7 is zero by the time block 0 is written.
    const bool zeroPassword = m_protectedTag && m_plan[m_written].block == 0;
    showResult(QStringLiteral("Wipe stopped: %1%2")
                   .arg(why, zeroPassword ? QStringLiteral("; the tag now answers to Find "
                                                           "Password's built-in entry 1")
                                          : QString()),
               ColorOrangeRed);
}

void TagInspector::endRecording(AutoLoop::TagOutcome::Result result, const QString &why)
{
    if (std::exchange(m_recording, false))
        m_p.record.endManualJob(result, why);
}

void TagInspector::refuse(const QString &title, const QString &result, const QString &why)
{
    m_job = Job::None;
    showResult(result, ColorOrangeRed);
    m_p.dialogs.warning(title, why);
}

void TagInspector::wipe()
{
    if (refuseWhileBusy(QStringLiteral("Wipe tag")))
        return;
    // Blocks 1 and 2 first: whether the tag can be read with what the window knows, and which
    // ID it loses.
    m_p.bar.showResult({}, ColorDodgerBlue);
    m_compareBlocks = {1, 2};
    m_tagValues = {};
    m_next = 0;
    m_wipeUid.clear();
    m_job = Job::WipeRead;
    compareNext();
}

static QString uidOf(const std::optional<QString> &b1, const std::optional<QString> &b2)
{
    if (!b1 || !b2)
        return {};
    const std::optional<quint64> id
        = Em4100::check(b1->toUInt(nullptr, 16), b2->toUInt(nullptr, 16)).id;
    return id ? QStringLiteral("%1").arg(*id, 10, 16, QLatin1Char('0')).toUpper() : QString();
}

void TagInspector::wipeRead()
{
    m_job = Job::None;
    const QString title = QStringLiteral("Wipe tag");
    if (!m_tagValues[1] || !m_tagValues[2]) {
        refuse(title, QStringLiteral("Wipe: blocks 1-2 could not be read; nothing was wiped"),
               QStringLiteral("Blocks 1 and 2 of the tag could not be read, so nothing was wiped. "
                              "A protected tag needs its password: check PWD with the password "
                              "in the block 7 field, or find it with \"Find Password...\"."));
        return;
    }
    m_wipeUid = uidOf(m_tagValues[1], m_tagValues[2]);
    if (m_wipeUid.isEmpty()) {
        askWipe({});
        return;
    }
    // The tag carries a UID: the record says whether it is one this line wrote.
    m_job = Job::AskRecord;
    m_p.guard.whereWritten(
        m_wipeUid,
        [this](const QString &where) {
            m_job = Job::None;
            askWipe(where);
        },
        [this, title](const QString &why) {
            refuse(title, QStringLiteral("Wipe: nothing was wiped (the production record is off)"),
                   QStringLiteral("The tag carries UID %1, and the production record cannot say "
                                  "whether this line wrote it. %2")
                       .arg(m_wipeUid, why));
        });
}

void TagInspector::askWipe(const QString &held)
{
    const QString title = QStringLiteral("Wipe tag");
    QString ask = QStringLiteral("Blocks 1-7 of the tag in the field become 00000000, then "
                                 "block 0 becomes %1 (%2).")
                      .arg(ConfigWord::kBlank, TagConfig::describe(ConfigWord::kBlank));
    if (m_p.blocks.pwdBox()->isChecked())
        ask += QStringLiteral(" The password in the block 7 field opens the tag; it has none "
                              "afterwards.");
    if (!held.isEmpty())
        ask += QStringLiteral("\n\nThe tag carries UID %1, which the production record holds as "
                              "written to it %2. After the wipe the record notes that the UID "
                              "left this tag.")
                   .arg(m_wipeUid, held);
    else if (!m_wipeUid.isEmpty())
        ask += QStringLiteral("\n\nThe tag carries UID %1; the production record keeps the "
                              "wipe.")
                   .arg(m_wipeUid);
    const bool yes
        = held.isEmpty()
              ? m_p.dialogs.question(title, ask + QStringLiteral("\n\nWipe it?"))
              : m_p.dialogs.warningWithChoice(title, ask, QStringLiteral("Wipe Recorded Tag"));
    // The loop may have started while the question was open.
    if (!yes || refuseWhileBusy(title)) {
        showResult(QStringLiteral("Wipe: nothing was wiped"), ColorDodgerBlue);
        return;
    }
    if (!m_wipeUid.isEmpty()) {
        AutoLoop::TagOutcome tag;
        tag.uidReplaced = m_wipeUid;
        tag.hexBase = true;
        tag.detail = held.isEmpty() ? QStringLiteral("wiped")
                                    : QStringLiteral("wiped on the operator's word: UID %1 was "
                                                     "written to this tag %2")
                                          .arg(m_wipeUid, held);
        m_p.record.beginManualJob(QStringLiteral("wipe"), tag);
        m_recording = true;
    }
    QList<Write> plan;
    for (int n : {1, 2, 3, 4, 5, 6, 7})
        plan << Write{n, QStringLiteral("00000000")};
    // Block 0 last: until then the tag keeps its configuration and answers to the password
    // block 7 holds.
    plan << Write{0, ConfigWord::kBlank};
    startWriting(plan, Job::Wipe);
}

void TagInspector::guardIdWrite(int block)
{
    const QString title = QStringLiteral("Write block %1").arg(block);
    if (refuseWhileBusy(title))
        return;
    startGuard({Write{block, m_p.blocks.block(block)}}, false, title);
}

void TagInspector::startGuard(const QList<Write> &plan, bool restore, const QString &title)
{
    m_guarded = Guarded{plan, restore, title, {}, {}};
    m_compareBlocks = {1, 2};
    m_tagValues = {};
    m_next = 0;
    m_job = Job::GuardRead;
    compareNext();
}

void TagInspector::guardRead()
{
    m_job = Job::None;
    Guarded &g = m_guarded;
    // Reading blocks 1-2 filled the field with what the tag holds; the operator's value stays.
    if (!g.restore)
        m_p.blocks.setBlock(g.plan.first().block, g.plan.first().value);
    // A restore may write both blocks of a tag it could not read; one block alone needs the
    // other to know the ID it makes.
    const bool read = m_tagValues[1] && m_tagValues[2];
    if (!read && !g.restore) {
        refuse(g.title, QStringLiteral("%1: nothing was written").arg(g.title),
               QStringLiteral("Blocks 1 and 2 hold the tag's ID and could not be read first, so "
                              "nothing was written. A protected tag needs its password: check "
                              "PWD with the password in the block 7 field."));
        return;
    }
    std::array<std::optional<QString>, 3> frame{std::nullopt, m_tagValues[1], m_tagValues[2]};
    g.before = uidOf(frame[1], frame[2]);
    for (const Write &w : g.plan) {
        if (w.block == 1 || w.block == 2)
            frame[size_t(w.block)] = w.value;
    }
    g.after = uidOf(frame[1], frame[2]);
    if (g.before == g.after) {
        writeGuarded({});
        return;
    }
    m_job = Job::AskRecord;
    m_p.guard.check(
        g.before, g.after, true, [this](const QString &note) { writeGuarded(note); },
        [this](const QString &why) {
            refuse(m_guarded.title, QStringLiteral("%1: nothing was written").arg(m_guarded.title),
                   why);
        });
}

void TagInspector::writeGuarded(const QString &note)
{
    m_job = Job::None;
    const Guarded &g = m_guarded;
    // The loop may have started while the record answered.
    if (refuseWhileBusy(g.title))
        return;
    if (g.before != g.after) {
        AutoLoop::TagOutcome tag;
        tag.uidAsked = g.after;
        tag.uidReplaced = g.before;
        tag.hexBase = true;
        tag.detail = note;
        m_p.record.beginManualJob({}, tag);
        m_recording = true;
    }
    if (g.restore) {
        startWriting(g.plan, Job::Restore);
        return;
    }
    m_job = Job::BlockWrite;
    // What the record agreed to, whatever the field holds now.
    m_p.blocks.setBlock(g.plan.first().block, g.plan.first().value);
    m_p.operations.send(g.plan.first().block);
}
