#include "cli.h"

#include "core/commands.h"
#include "core/em4100.h"
#include "core/job.h"
#include "core/stopsignals.h"
#include "core/tagconfig.h"
#include "core/tagfile.h"
#include "core/uid.h"
#include "station/dialogs.h"
#include "station/link/portmap.h"
#include "station/link/portscanner.h"
#include "station/link/serialtransport.h"
#include "station/record/listloader.h"
#include "station/record/productionrecord.h"
#include "station/record/recordaddress.h"
#include "station/record/recorder.h"
#include "station/record/recordidentity.h"
#include "station/session/session.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace Cli {

namespace {

const QStringList kCommands
    = {QStringLiteral("ports"),     QStringLiteral("read"),          QStringLiteral("write"),
       QStringLiteral("write-uid"), QStringLiteral("save"),          QStringLiteral("restore"),
       QStringLiteral("produce"),   QStringLiteral("export-records")};

void say(FILE *to, const QString &text)
{
    std::fprintf(to, "%s\n", text.toLocal8Bit().constData());
    std::fflush(to);
}

int usage(const QString &text)
{
    say(stderr, QStringLiteral("kestrel-rfid: ") + text);
    return kUsage;
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// What the record and the loop would ask the operator: told on standard error, and the safe
// answer is taken (a script cannot choose to run without a record).
class ConsoleDialogs : public Dialogs {
public:
    void information(const QString &title, const QString &text) override { tell(title, text); }
    void warning(const QString &title, const QString &text) override { tell(title, text); }
    bool question(const QString &title, const QString &text) override
    {
        tell(title, text);
        return false;
    }
    bool warningWithChoice(const QString &title, const QString &text, const QString &) override
    {
        tell(title, text);
        return false;
    }

private:
    static void tell(const QString &title, const QString &text)
    {
        say(stderr, QStringLiteral("kestrel-rfid: %1: %2").arg(title, text));
    }
};

// The device of a port given as the window numbers it, or as a path.
std::optional<QString> deviceOf(const QString &port, QString *error)
{
    if (port.isEmpty()) {
        *error = QStringLiteral("--port is needed (a number from 01 to 26, or a device path)");
        return std::nullopt;
    }
    bool number = false;
    const int n = port.toInt(&number);
    const QString device = number ? PortMap::deviceFor(n) : port;
    if (device.isEmpty()) {
        *error = QStringLiteral("there is no port %1 (ports are 01 to 26)").arg(port);
        return std::nullopt;
    }
    struct stat st = {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0) {
        *error = QStringLiteral("there is no port %1 (%2 does not exist)").arg(port, device);
        return std::nullopt;
    }
    if (!S_ISCHR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a serial port (not a character device)").arg(device);
        return std::nullopt;
    }
    return device;
}

// Never from the command line, where every user of the machine can read it.
std::optional<QString> passwordOf(const QString &file, QString *error)
{
    QString text;
    if (!file.isEmpty()) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1 cannot be read: %2").arg(file, in.errorString());
            return std::nullopt;
        }
        text = QString::fromLatin1(in.read(256)).section(u'\n', 0, 0).trimmed();
    } else if (qEnvironmentVariableIsSet("KESTREL_PASSWORD")) {
        text = qEnvironmentVariable("KESTREL_PASSWORD").trimmed();
    } else {
        return QString();
    }
    if (!Reply::isBlockValue(text.toUpper())) {
        *error = QStringLiteral("the password must be eight hexadecimal digits");
        return std::nullopt;
    }
    return text.toUpper();
}

struct Common {
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("Port number (01-26) or device path."),
                            QStringLiteral("N")};
    QCommandLineOption passwordFile{
        QStringLiteral("password-file"),
        QStringLiteral("The tag password (eight hexadecimal digits) is the file's first line; "
                       "else KESTREL_PASSWORD."),
        QStringLiteral("F")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("Print one JSON document.")};
    QCommandLineOption record{QStringLiteral("record"),
                              QStringLiteral("The production record: a file or a server."),
                              QStringLiteral("ADDR")};
    QCommandLineOption capture{QStringLiteral("capture"),
                               QStringLiteral("Keep every byte to and from the box in FILE."),
                               QStringLiteral("FILE")};
    QCommandLineOption rewrite{QStringLiteral("rewrite"),
                               QStringLiteral("Write a UID the record holds as written or in "
                                              "doubt anyway (the record notes it).")};
};

// Keeps the session's traffic when asked to; false (the exit code in *code) when the
// capture file cannot be written, before anything is sent.
bool captureIfAsked(Session &session, const QString &path, int *code)
{
    QString error;
    if (path.isEmpty() || session.keepTraffic(path, &error))
        return true;
    *code = usage(error);
    return false;
}

// Parses a command's options: nothing when the command goes on, else its exit code (a wrong
// option is a usage error; --help is answered here).
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments,
                         const QString &summary)
{
    parser.setApplicationDescription(summary);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        // The parser names the program by its path; the command word is what a reader types.
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                     QStringLiteral("Usage: kestrel-rfid ") + arguments.value(0));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return kDone;
    }
    return std::nullopt;
}

// A connected session, or why there is none (exit code in *code).
std::unique_ptr<Session> connected(const QString &device, const QString &capture, int *code)
{
    auto session = std::make_unique<Session>();
    if (!captureIfAsked(*session, capture, code))
        return nullptr;
    QString reason;
    if (!session->connectPort(device, &reason)) {
        say(stderr, QStringLiteral("kestrel-rfid: %1: %2")
                        .arg(device, reason.isEmpty() ? session->failure() : reason));
        *code = kPortFailed;
        return nullptr;
    }
    return session;
}

// The port and the password a command names, then the connected session; nothing when the
// input is unusable (nothing is sent then) or the port does not open, with the exit code.
std::unique_ptr<Session> openFor(const QCommandLineParser &parser, const Common &c,
                                 bool takesPassword, QString *password, int *code)
{
    QString error;
    const std::optional<QString> device = deviceOf(parser.value(c.port), &error);
    const std::optional<QString> given
        = !device ? std::nullopt
                  : (takesPassword ? passwordOf(parser.value(c.passwordFile), &error) : QString());
    if (!given) {
        *code = usage(error);
        return nullptr;
    }
    *password = *given;
    return connected(*device, parser.value(c.capture), code);
}

// A UID written by hand, held to the loop's promises: refused when the record holds it as
// written or in doubt (unless the operator rewrites recorded tags), reserved and marked as
// about to be written before it leaves, and its outcome kept in a batch marked manual, so no
// later run writes it onto a second tag.
class ManualUid {
public:
    ManualUid(const QString &device, bool rewrite)
        : m_device(device)
        , m_rewrite(rewrite)
    {
    }
    ~ManualUid() { end({}, AutoLoop::TagOutcome::Result::Stopped, QStringLiteral("no reply")); }

    // The tag carried this UID before: the record says where it went once the write is done.
    void replaces(const QString &uid) { m_tag.uidReplaced = uid; }

    // Nothing when the write may go; else the exit code, with why on standard error.
    std::optional<int> begin(const QString &uid, bool hex)
    {
        m_record = std::make_unique<ProductionRecord>(ProductionRecord::configuredPath());
        if (!m_record->isWritable() && !m_record->resume())
            return off();
        ProductionRecord::Batch b;
        b.station = QSysInfo::machineHostName();
        b.stationKey = RecordIdentity::stationKey();
        b.port = m_device;
        b.options = QStringLiteral("manual UID writes");
        b.base = hex ? QStringLiteral("HEX") : QStringLiteral("DEC");
        b.manual = true;
        b.operatorName = RecordIdentity::userName();
        const std::optional<QString> batch = m_record->beginBatch(b);
        if (!batch || !m_record->problem().isEmpty())
            return off();
        m_batch = *batch;
        using Kind = ProductionRecord::Reservation::Kind;
        const ProductionRecord::Reservation r = m_record->reserve(uid, hex, b, m_batch);
        if (r.kind == Kind::Unavailable)
            return off();
        QString held;
        if (r.kind == Kind::Reserved) {
            if (!m_record->arm(uid, m_batch))
                return off();
        } else if (const std::optional<AutoLoop::Engine::UidVerdict> v
                   = Recorder::verdictOf(r, uid)) {
            held = r.kind == Kind::Written || r.kind == Kind::WrittenElsewhere
                       ? QStringLiteral("UID %1 was already written to a tag %2")
                             .arg(uid, Recorder::whereWritten(r.where))
                       : QStringLiteral("UID %1 is %2").arg(uid, v->why);
        }
        if (!held.isEmpty() && !m_rewrite) {
            say(stderr, QStringLiteral("kestrel-rfid: %1. Nothing was written; give --rewrite "
                                       "to write it again anyway.")
                            .arg(held));
            m_record->endBatch(m_batch);
            m_batch.clear();
            return kTagFailed;
        }
        m_tag.startMs = QDateTime::currentMSecsSinceEpoch();
        m_tag.uidAsked = uid;
        m_tag.hexBase = hex;
        m_tag.serial = 1;
        if (!held.isEmpty())
            m_tag.detail = QStringLiteral("written again with --rewrite: ") + held;
        const std::optional<QString> row = m_record->beginTag(m_batch, m_tag);
        if (!row)
            return off();
        m_row = *row;
        return std::nullopt;
    }

    // The outcome; false when the record could not keep it.
    bool end(const QString &uidRead, AutoLoop::TagOutcome::Result result, const QString &why)
    {
        if (m_batch.isEmpty())
            return true;
        m_tag.uidConfirmed = result == AutoLoop::TagOutcome::Result::Complete;
        m_tag.uidRead = uidRead.isEmpty() && m_tag.uidConfirmed ? m_tag.uidAsked : uidRead;
        m_tag.result = result;
        if (!why.isEmpty())
            m_tag.detail = m_tag.detail.isEmpty() ? why : m_tag.detail + QStringLiteral("; ") + why;
        m_tag.endMs = QDateTime::currentMSecsSinceEpoch();
        const bool kept = m_record->endTag(m_row, m_batch, m_tag);
        m_record->endBatch(m_batch);
        m_batch.clear();
        if (!kept || !m_record->problem().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: production record is off: %1")
                            .arg(m_record->problem()));
            return false;
        }
        return true;
    }

private:
    int off()
    {
        say(stderr,
            QStringLiteral("kestrel-rfid: production record is off: %1. Nothing was written.")
                .arg(m_record->problem().isEmpty() ? QStringLiteral("it did not answer")
                                                   : m_record->problem()));
        if (!m_batch.isEmpty())
            m_record->endBatch(m_batch);
        m_batch.clear();
        return kRecordFailed;
    }

    QString m_device;
    bool m_rewrite;
    std::unique_ptr<ProductionRecord> m_record;
    QString m_batch;
    QString m_row;
    AutoLoop::TagOutcome m_tag;
};

// The box's own words, then what they mean.
QString withMeaning(const QString &text)
{
    const QString meaning = Reply::plainMeaning(text);
    return meaning.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, meaning);
}

// What a reply to a command that does not work says in words.
QString refusal(const std::optional<QString> &head, Session &session)
{
    if (!session.failure().isEmpty())
        return session.failure();
    if (!head)
        return withMeaning(QStringLiteral("No recpone command!"));
    const Reply::Parsed r = Reply::classify(*head);
    QString text = r.kind == Reply::Kind::Error ? Reply::errorText(r.code) : QString();
    // What the window's labels say for these reports.
    if (r.kind == Reply::Kind::Message && r.code == Reply::kNotPresent)
        text = QStringLiteral("No Precent!");
    else if (r.kind == Reply::Kind::Message && r.code == Reply::kNotConfigured)
        text = QStringLiteral("Ready - Not Config");
    else if (r.kind == Reply::Kind::Message && r.code == Reply::kNoUid)
        text = QStringLiteral("Ready - No UID");
    if (text.isEmpty())
        return QStringLiteral("the box answered %1").arg(*head);
    return withMeaning(text);
}

int portsCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOption(c.json);
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral(
                    "kestrel-rfid ports: the serial ports the window's scan finds, free, busy or "
                    "refused (no permission).")))
        return *code;
    SerialTransport transport;
    PortScanner scanner(transport);
    QMap<int, QString> found;
    QObject::connect(&scanner, &PortScanner::portFound,
                     [&found](int n, const QString &device) { found.insert(n, device); });
    QEventLoop wait;
    QObject::connect(&scanner, &PortScanner::finished, &wait, &QEventLoop::quit);
    scanner.start();
    wait.exec();
    QJsonArray list;
    for (int n = PortMap::kFirstPort; n <= PortMap::kLastPort; ++n) {
        const QString device = PortMap::deviceFor(n);
        if (device.isEmpty() || !QFileInfo::exists(device))
            continue;
        const QString state = found.contains(n)                    ? QStringLiteral("free")
                              : scanner.refused().contains(device) ? QStringLiteral("refused")
                                                                   : QStringLiteral("busy");
        list.append(QJsonObject{{QStringLiteral("port"), PortMap::entryText(n)},
                                {QStringLiteral("device"), device},
                                {QStringLiteral("state"), state}});
    }
    if (parser.isSet(c.json)) {
        say(stdout, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
        return kDone;
    }
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        say(stdout,
            QStringLiteral("%1  %2  %3")
                .arg(o[QStringLiteral("port")].toString(), o[QStringLiteral("device")].toString(),
                     o[QStringLiteral("state")].toString()));
    }
    if (list.isEmpty())
        say(stderr, QStringLiteral("kestrel-rfid: no serial port was found"));
    return kDone;
}

// The blocks of the tag in the field, read one by one (with the password when there is one).
std::array<std::optional<QString>, 8> readBlocks(Session &session, const QList<int> &blocks,
                                                 const QString &password, QStringList *failures)
{
    std::array<std::optional<QString>, 8> values;
    for (int n : blocks) {
        if (!session.failure().isEmpty())
            break;
        const QString command = password.isEmpty() ? QStringLiteral("RB%1").arg(n)
                                                   : QStringLiteral("RP%1%2").arg(n).arg(password);
        const std::optional<QString> head
            = session.ask(command, Session::kindOrError(Reply::Kind::BlockRead, n));
        const Reply::Parsed r = Reply::classify(head.value_or(QString()));
        if (head && r.kind == Reply::Kind::BlockRead && r.block == n)
            values[size_t(n)] = r.payload;
        else if (session.failure().isEmpty())
            *failures << QStringLiteral("block %1: %2").arg(n).arg(refusal(head, session));
    }
    return values;
}

int readCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption block(QStringLiteral("block"), QStringLiteral("Block 0-7."),
                                   QStringLiteral("B"));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Blocks 0-7."));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("The tag's ID."));
    parser.addOptions({c.port, c.passwordFile, c.json, c.capture, block, all, uid});
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid read: blocks or the ID of the tag in the field.")))
        return *code;
    const int asked = int(parser.isSet(block)) + int(parser.isSet(all)) + int(parser.isSet(uid));
    if (asked != 1)
        return usage(QStringLiteral("read needs one of --block B, --all or --uid"));
    QList<int> blocks;
    if (parser.isSet(block)) {
        bool ok = false;
        const int n = parser.value(block).toInt(&ok);
        if (!ok || n < 0 || n > 7)
            return usage(QStringLiteral("--block must be a block from 0 to 7"));
        blocks << n;
    } else if (parser.isSet(all)) {
        blocks = {0, 1, 2, 3, 4, 5, 6, 7};
    }
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    QJsonObject out{{QStringLiteral("port"), session->device()}};
    if (parser.isSet(uid)) {
        const std::optional<QString> head
            = session->ask(QStringLiteral("GTS"), Reply::isFieldReport);
        const Reply::Parsed r = Reply::classify(head.value_or(QString()));
        if (!head || r.kind != Reply::Kind::Identifier) {
            say(stderr, QStringLiteral("kestrel-rfid: %1").arg(refusal(head, *session)));
            return session->failure().isEmpty() ? kTagFailed : kPortFailed;
        }
        out.insert(QStringLiteral("uid"), r.payload);
        if (!parser.isSet(c.json))
            say(stdout, r.payload);
    }
    QStringList failures;
    const std::array<std::optional<QString>, 8> read
        = readBlocks(*session, blocks, password, &failures);
    QJsonObject values;
    for (int n : blocks) {
        const QString shown
            = read[size_t(n)] ? AutoLoop::shownValue(n, *read[size_t(n)]) : QString();
        values.insert(QString::number(n), shown.isEmpty() ? QJsonValue() : QJsonValue(shown));
        if (!shown.isEmpty() && !parser.isSet(c.json))
            say(stdout, QStringLiteral("B%1: %2").arg(n).arg(shown));
    }
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    if (!blocks.isEmpty()) {
        out.insert(QStringLiteral("blocks"), values);
        if (values.contains(QStringLiteral("0")) && values[QStringLiteral("0")].isString())
            out.insert(QStringLiteral("config"),
                       TagConfig::describe(values[QStringLiteral("0")].toString()));
        bool ok1 = false;
        bool ok2 = false;
        const quint32 b1 = values[QStringLiteral("1")].toString().toUInt(&ok1, 16);
        const quint32 b2 = values[QStringLiteral("2")].toString().toUInt(&ok2, 16);
        if (ok1 && ok2) {
            const Em4100::Check check = Em4100::check(b1, b2);
            out.insert(QStringLiteral("id"),
                       check.id ? QJsonValue(
                           QStringLiteral("%1").arg(*check.id, 10, 16, QLatin1Char('0')).toUpper())
                                : QJsonValue());
            out.insert(QStringLiteral("idDecimal"),
                       check.id ? QJsonValue(Em4100::decimalForm(*check.id)) : QJsonValue());
        }
    }
    if (!failures.isEmpty())
        out.insert(QStringLiteral("failures"), QJsonArray::fromStringList(failures));
    if (parser.isSet(c.json))
        say(stdout, QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
    for (const QString &f : failures)
        say(stderr, QStringLiteral("kestrel-rfid: ") + f);
    return failures.isEmpty() ? kDone : kTagFailed;
}

int writeCommand(const QStringList &arguments, bool uidWrite)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption block(QStringLiteral("block"), QStringLiteral("Block 0-6."),
                                   QStringLiteral("B"));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Eight hexadecimal digits."),
                                  QStringLiteral("XXXXXXXX"));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("Ten digits."),
                                 QStringLiteral("U"));
    const QCommandLineOption dec(QStringLiteral("dec"), QStringLiteral("The UID is decimal."));
    if (uidWrite)
        parser.addOptions({c.port, c.capture, c.record, c.rewrite, uid, dec});
    else
        parser.addOptions({c.port, c.passwordFile, c.capture, c.record, c.rewrite, block, data});
    if (const std::optional<int> code = parse(
            parser, arguments,
            uidWrite ? QStringLiteral("kestrel-rfid write-uid: gives the tag in the field a UID "
                                      "and reads it back.")
                     : QStringLiteral("kestrel-rfid write: writes one block of the tag in the "
                                      "field and reads it back.")))
        return *code;
    QString command;
    QString expected;
    int expectedBlock = -1;
    if (uidWrite) {
        const QString u = parser.value(uid).toUpper();
        const bool hex = !parser.isSet(dec);
        if (u.size() != Uid::kLength || !Uid::tagId(u, hex))
            return usage(QStringLiteral("--uid must be a tag ID of ten %1 digits")
                             .arg(hex ? QStringLiteral("hexadecimal") : QStringLiteral("decimal")));
        command = (hex ? QStringLiteral("WUX") : QStringLiteral("WUD")) + u;
        expected = u;
    } else {
        bool ok = false;
        expectedBlock = parser.value(block).toInt(&ok);
        if (!ok || expectedBlock < 0 || expectedBlock > 6)
            return usage(QStringLiteral("--block must be a block from 0 to 6 (the password "
                                        "is never given on the command line)"));
        expected = parser.value(data).toUpper();
        if (!Reply::isBlockValue(expected))
            return usage(QStringLiteral("--data must be eight hexadecimal digits"));
    }
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, !uidWrite, &password, &code);
    if (!session)
        return code;
    if (!uidWrite)
        command = Commands::writeBlock(expectedBlock, expected, password);
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    std::optional<ManualUid> manual;
    if (uidWrite) {
        manual.emplace(session->device(), parser.isSet(c.rewrite));
        if (const std::optional<int> refused = manual->begin(expected, !parser.isSet(dec)))
            return *refused;
    } else if (expectedBlock == 1 || expectedBlock == 2) {
        // Blocks 1 and 2 hold the tag's ID: the ID they make together after the write is a UID
        // like any other, and one the tag carried before leaves it.
        QStringList failures;
        const std::array<std::optional<QString>, 8> now
            = readBlocks(*session, {1, 2}, password, &failures);
        if (!now[1] || !now[2]) {
            if (!session->failure().isEmpty()) {
                say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
                return kPortFailed;
            }
            say(stderr, QStringLiteral("kestrel-rfid: blocks 1 and 2 hold the tag's ID and "
                                       "could not be read first (%1); nothing was written")
                            .arg(failures.join(QStringLiteral("; "))));
            return kTagFailed;
        }
        std::array<quint32, 3> frame{0, now[1]->toUInt(nullptr, 16), now[2]->toUInt(nullptr, 16)};
        const std::optional<quint64> before = Em4100::check(frame[1], frame[2]).id;
        frame[size_t(expectedBlock)] = expected.toUInt(nullptr, 16);
        const std::optional<quint64> after = Em4100::check(frame[1], frame[2]).id;
        const auto text = [](quint64 id) {
            return QStringLiteral("%1").arg(id, 10, 16, QLatin1Char('0')).toUpper();
        };
        if (after && after != before) {
            manual.emplace(session->device(), parser.isSet(c.rewrite));
            if (before)
                manual->replaces(text(*before));
            if (const std::optional<int> refused = manual->begin(text(*after), true))
                return *refused;
        }
    }
    const std::optional<QString> head = session->ask(
        command, uidWrite ? Session::kindOrError(Reply::Kind::Identifier)
                          : Session::kindOrError(Reply::Kind::BlockWrite, expectedBlock));
    const Reply::Parsed r = Reply::classify(head.value_or(QString()));
    const bool verified
        = uidWrite ? r.kind == Reply::Kind::Identifier
                         && Uid::tagId(r.payload, true) == Uid::tagId(expected, !parser.isSet(dec))
                   : r.kind == Reply::Kind::BlockWrite && r.block == expectedBlock
                         && r.payload == expected;
    if (manual) {
        using Result = AutoLoop::TagOutcome::Result;
        const bool answered = uidWrite ? r.kind == Reply::Kind::Identifier : verified;
        if (!manual->end(answered && uidWrite ? r.payload : QString(),
                         verified ? Result::Complete : (head ? Result::Failed : Result::Stalled),
                         verified || answered ? QString() : refusal(head, *session)))
            return kRecordFailed;
    }
    if (verified) {
        say(stdout,
            uidWrite
                ? QStringLiteral("UID %1 written and read back").arg(expected)
                : QStringLiteral("B%1: %2 written and read back").arg(expectedBlock).arg(expected));
        return kDone;
    }
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    say(stderr, QStringLiteral("kestrel-rfid: not verified: %1")
                    .arg(r.kind == Reply::Kind::BlockWrite || r.kind == Reply::Kind::Identifier
                             ? QStringLiteral("read back %1").arg(r.payload)
                             : refusal(head, *session)));
    return kTagFailed;
}

int saveCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOptions({c.port, c.passwordFile, c.capture});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The tag file."));
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid save: the tag in the field as a tag file, as the "
                               "inspection bar saves it.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("save needs one FILE"));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    TagFile::Contents contents;
    const std::optional<QString> id = session->ask(QStringLiteral("GTS"), Reply::isFieldReport);
    if (id && Reply::classify(*id).kind == Reply::Kind::Identifier)
        contents.uid = Reply::classify(*id).payload;
    QStringList failures;
    contents.blocks = readBlocks(*session, {0, 1, 2, 3, 4, 5, 6, 7}, password, &failures);
    contents.passwordUsed = !password.isEmpty();
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    for (const QString &f : failures)
        say(stderr, QStringLiteral("kestrel-rfid: ") + f);
    QString error;
    if (!TagFile::save(parser.positionalArguments().at(0), contents, &error)) {
        say(stderr, QStringLiteral("kestrel-rfid: ") + error);
        return kTagFailed;
    }
    say(stdout, QStringLiteral("%1 of 8 blocks saved to %2")
                    .arg(8 - failures.size())
                    .arg(parser.positionalArguments().at(0)));
    return failures.isEmpty() ? kDone : kTagFailed;
}

int restoreCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("Write a block 0 that protects the tag."));
    parser.addOptions({c.port, c.passwordFile, c.capture, c.record, c.rewrite, yes});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The tag file."));
    if (const std::optional<int> code = parse(
            parser, arguments,
            QStringLiteral("kestrel-rfid restore: a tag file written onto the tag in the field, "
                           "block 0 last, each block read back.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("restore needs one FILE"));
    const QString file = parser.positionalArguments().at(0);
    const TagFile::Loaded t = TagFile::load(file);
    if (!t.problem.isEmpty())
        return usage(t.problem);
    const TagFile::Plan plan = TagFile::plan(t.contents, file);
    if (!plan.problem.isEmpty())
        return usage(plan.problem);
    // The question the window asks; only --yes answers it here. The password is not shown.
    if (!plan.protects.isEmpty() && !parser.isSet(yes))
        return usage(QStringLiteral("the file's block 0 (%1) turns on %2: after the restore the "
                                    "tag answers only to the file's password (block 7). Give "
                                    "--yes to write it")
                         .arg(*t.contents.blocks[0], plan.protects));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    // Blocks 1 and 2 give the tag the ID they carry: a UID like any other.
    std::optional<ManualUid> manual;
    const std::optional<QString> &b1 = t.contents.blocks[1];
    const std::optional<QString> &b2 = t.contents.blocks[2];
    const std::optional<quint64> id
        = b1 && b2 ? Em4100::check(b1->toUInt(nullptr, 16), b2->toUInt(nullptr, 16)).id
                   : std::nullopt;
    if (id) {
        if (parser.isSet(c.record))
            ProductionRecord::setConfiguredPath(parser.value(c.record));
        manual.emplace(session->device(), parser.isSet(c.rewrite));
        const QString uid = QStringLiteral("%1").arg(*id, 10, 16, QLatin1Char('0')).toUpper();
        if (const std::optional<int> refused = manual->begin(uid, true))
            return *refused;
    }
    const auto ended = [&manual](AutoLoop::TagOutcome::Result result, const QString &why) {
        return !manual || manual->end({}, result, why);
    };
    for (const TagFile::Write &w : plan.writes) {
        const std::optional<QString> head
            = session->ask(Commands::writeBlock(w.block, w.value, password),
                           Session::kindOrError(Reply::Kind::BlockWrite, w.block));
        if (head && TagFile::confirms(*head, w))
            continue;
        ended(head ? AutoLoop::TagOutcome::Result::Failed : AutoLoop::TagOutcome::Result::Stalled,
              QStringLiteral("restore stopped at block %1").arg(w.block));
        if (!session->failure().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
            return kPortFailed;
        }
        say(stderr,
            QStringLiteral("kestrel-rfid: restore stopped at block %1: %2")
                .arg(w.block)
                .arg(head && Reply::classify(*head).kind == Reply::Kind::BlockWrite
                         ? QStringLiteral("read back %1")
                               .arg(AutoLoop::shownValue(w.block, Reply::classify(*head).payload))
                         : refusal(head, *session)));
        return kTagFailed;
    }
    if (!ended(AutoLoop::TagOutcome::Result::Complete, {}))
        return kRecordFailed;
    say(stdout, QStringLiteral("Restore complete: %1 blocks written").arg(plan.writes.size()));
    return kDone;
}

int exportCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption batch(QStringLiteral("batch"), QStringLiteral("Only batch N."),
                                   QStringLiteral("N"));
    parser.addOptions({c.record, batch});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The CSV file."));
    QString error;
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid export-records: the record's tags as CSV.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("export-records needs one FILE"));
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    ProductionRecord::Filter filter;
    if (parser.isSet(batch)) {
        bool ok = false;
        filter.batch = parser.value(batch).toLongLong(&ok);
        if (!ok)
            return usage(QStringLiteral("--batch needs a batch number"));
    }
    const QString location = ProductionRecord::configuredPath();
    const QString target = parser.positionalArguments().at(0);
    if (const QString refusal = ProductionRecord::exportRefusal(target, location);
        !refusal.isEmpty())
        return usage(refusal);
    if (!ProductionRecord::isServer(location) && !QFileInfo::exists(location)) {
        say(stderr,
            QStringLiteral("kestrel-rfid: there is no production record at %1").arg(location));
        return kRecordFailed;
    }
    ProductionRecord record(location);
    // A header alone would read as "that batch made no tags".
    if (filter.batch && record.hasBatch(*filter.batch) == false)
        return usage(QStringLiteral("there is no batch %1 in %2")
                         .arg(*filter.batch)
                         .arg(RecordAddress::shown(location)));
    if (!record.exportCsv(target, filter, &error)) {
        say(stderr, QStringLiteral("kestrel-rfid: ") + error);
        return record.problem().isEmpty() ? kOutputFailed : kRecordFailed;
    }
    return kDone;
}

// How long a signal or a failed output lets the tag in progress end by itself.
constexpr int kStopWithinMs = 3000;

QJsonObject tagEvent(const AutoLoop::TagOutcome &t)
{
    QJsonArray writes;
    for (const AutoLoop::Write &w : t.writes) {
        if (w.block < 0)
            continue;
        writes.append(QJsonObject{
            {QStringLiteral("block"), w.block},
            {QStringLiteral("sent"), AutoLoop::shownValue(w.block, w.sent)},
            {QStringLiteral("readBack"),
             w.answered ? QJsonValue(AutoLoop::shownValue(w.block, w.readBack)) : QJsonValue()},
            {QStringLiteral("ok"), w.ok}});
    }
    return QJsonObject{
        {QStringLiteral("event"), QStringLiteral("tag")},
        {QStringLiteral("serial"), t.serial},
        {QStringLiteral("result"), AutoLoop::resultName(t.result)},
        {QStringLiteral("uidAsked"), t.uidAsked},
        {QStringLiteral("uidRead"), t.uidRead},
        {QStringLiteral("uidConfirmed"), t.uidConfirmed},
        {QStringLiteral("base"), t.hexBase ? QStringLiteral("hex") : QStringLiteral("dec")},
        {QStringLiteral("writes"), writes},
        {QStringLiteral("retries"), t.retries},
        {QStringLiteral("started"), isoTime(t.startMs)},
        {QStringLiteral("ended"), isoTime(t.endMs)},
        {QStringLiteral("detail"), t.detail}};
}

// Until the UID list the loop waits for is ready: empty when it is, why not when it cannot
// be, nothing when a signal cancelled it. How far it is goes to standard error.
std::optional<QString> waitForList(Recorder &recorder, StopSignals &interrupts)
{
    QEventLoop waiting;
    std::optional<QString> outcome;
    int shown = -1;
    QElapsedTimer since;
    since.start();
    const QMetaObject::Connection progress = QObject::connect(
        &recorder.lists(), &ListLoader::progress, &waiting,
        [&](const QString &what, qint64 done, qint64 total) {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            // A line a second at most: a log of the run, not a gauge.
            if (percent == shown || (shown >= 0 && since.elapsed() < 1000 && percent < 100))
                return;
            shown = percent;
            since.restart();
            say(stderr, QStringLiteral("%1: %2 %").arg(what).arg(percent));
        });
    QObject::connect(&recorder.lists(), &ListLoader::finished, &waiting, [&](const QString &error) {
        outcome = error;
        waiting.quit();
    });
    QObject::connect(&interrupts, &StopSignals::raised, &waiting, [&] {
        recorder.cancelList();
        waiting.quit();
    });
    waiting.exec();
    QObject::disconnect(progress);
    return outcome;
}

// Sets the loop's first UID past those the record holds as written or in doubt, and says
// where it goes on; otherwise the exit code, said why: a signal, or a record that cannot tell.
std::optional<int> carryOnFrom(Session &session, Recorder &recorder, StopSignals &interrupts,
                               const std::function<void(const QString &)> &person)
{
    // The answer may come after a signal ended the wait: it lands in what outlives this.
    struct Wait {
        std::optional<RecordGuard::Unused> found;
        QPointer<QEventLoop> loop;
    };
    const auto wait = std::make_shared<Wait>();
    AutoLoop::Options o = session.options();
    QEventLoop waiting;
    wait->loop = &waiting;
    recorder.findFirstUnused(o, [wait](const RecordGuard::Unused &u) {
        wait->found = u;
        if (wait->loop)
            wait->loop->quit();
    });
    const QMetaObject::Connection stop
        = QObject::connect(&interrupts, &StopSignals::raised, &waiting, &QEventLoop::quit);
    if (!wait->found)
        waiting.exec();
    QObject::disconnect(stop);
    const std::optional<RecordGuard::Unused> found = wait->found;
    if (!found) {
        say(stderr, QStringLiteral("kestrel-rfid: stopped by a signal before the first free UID "
                                   "was found; no batch was started"));
        return kDone;
    }
    if (found->uid.isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: cannot go on after UID %1: %2")
                        .arg(o.setUidText, found->why));
        return kRecordFailed;
    }
    person(Recorder::carryingOn(o.setUidText, *found));
    o.setUidText = found->uid;
    session.setOptions(o);
    return std::nullopt;
}

int produceCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption jobOption(QStringLiteral("job"), QStringLiteral("The job file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop after K tags have ended."),
                                   QStringLiteral("K"));
    const QCommandLineOption events(QStringLiteral("events"),
                                    QStringLiteral("JSON lines of events to FILE, or - for "
                                                   "standard output."),
                                    QStringLiteral("FILE|-"));
    const QCommandLineOption operatorOption(
        QStringLiteral("operator"),
        QStringLiteral("Who runs the batch, as the record keeps it (default: the login)."),
        QStringLiteral("NAME"));
    const QCommandLineOption first(QStringLiteral("first"),
                                   QStringLiteral("Start at this UID instead of the job's first."),
                                   QStringLiteral("UID"));
    const QCommandLineOption carryOn(
        QStringLiteral("continue"),
        QStringLiteral("Go on after the UIDs the record holds as written or in doubt."));
    parser.addOptions({c.port, c.passwordFile, c.record, c.capture, jobOption, count, events,
                       operatorOption, first, carryOn});
    QString error;
    if (const std::optional<int> code = parse(
            parser, arguments,
            QStringLiteral("kestrel-rfid produce: the production loop of a job file, without a "
                           "window, until K tags have ended, the UIDs run out or SIGINT/SIGTERM.")))
        return *code;
    if (!parser.isSet(jobOption))
        return usage(QStringLiteral("produce needs --job FILE"));
    std::optional<Job> job = Job::load(parser.value(jobOption), &error);
    if (!job)
        return usage(error);
    const AutoLoop::Options &stepping = job->raw();
    if ((parser.isSet(first) || parser.isSet(carryOn))
        && (!stepping.setUid || !stepping.autoInc || stepping.uidList))
        return usage(QStringLiteral("--first and --continue are for a job that writes stepping "
                                    "UIDs (\"uid.write\" and \"uid.increment\", no list)"));
    if (parser.isSet(first)) {
        const QString uid = parser.value(first).toUpper();
        if (!Uid::tagId(uid, stepping.base != AutoLoop::Options::Base::Dec))
            return usage(
                QStringLiteral("--first must be a tag ID of ten digits in the job's base"));
        job->setFirstUid(uid);
    }
    if (parser.isSet(carryOn))
        job->setCarryOn(true);
    const QString operatorName = parser.value(operatorOption).trimmed();
    if (parser.isSet(operatorOption)
        && (operatorName.isEmpty() || operatorName.size() > 64
            || std::any_of(operatorName.cbegin(), operatorName.cend(),
                           [](QChar ch) { return !ch.isPrint(); })))
        return usage(QStringLiteral("--operator must be a name of 1 to 64 printable characters"));
    int limit = 0;
    if (parser.isSet(count)) {
        bool ok = false;
        limit = parser.value(count).toInt(&ok);
        if (!ok || limit < 1)
            return usage(QStringLiteral("--count must be a number of tags from 1"));
    }
    const std::optional<QString> device = deviceOf(parser.value(c.port), &error);
    const std::optional<QString> password
        = device ? passwordOf(parser.value(c.passwordFile), &error) : std::nullopt;
    if (!password)
        return usage(error);
    if (job->needsPassword() && password->isEmpty())
        return usage(QStringLiteral("the job unlocks or writes the password: give it with "
                                    "--password-file or KESTREL_PASSWORD"));
    QFile eventFile;
    const bool toStdout = parser.value(events) == QLatin1String("-");
    if (parser.isSet(events)) {
        const bool opened = toStdout ? eventFile.open(stdout, QIODevice::WriteOnly)
                                     : (eventFile.setFileName(parser.value(events)),
                                        eventFile.open(QIODevice::WriteOnly | QIODevice::Append));
        if (!opened)
            return usage(QStringLiteral("%1 cannot be written: %2")
                             .arg(parser.value(events), eventFile.errorString()));
    }
    // False when the line did not reach the file whole (a full disk, a reader that went away).
    QString eventsFailed;
    const auto emitEvent = [&eventFile, &eventsFailed, &events, &parser](const QJsonObject &o) {
        if (!eventFile.isOpen() || !eventsFailed.isEmpty())
            return eventsFailed.isEmpty();
        const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
        if (eventFile.write(line) == line.size() && eventFile.flush())
            return true;
        eventsFailed = QStringLiteral("the events (%1) cannot be written: %2")
                           .arg(parser.value(events) == QLatin1String("-")
                                    ? QStringLiteral("standard output")
                                    : parser.value(events),
                                eventFile.errorString());
        return false;
    };
    const auto person = [&](const QString &text) {
        if (!toStdout)
            say(stdout, text);
    };
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));

    Session session;
    session.setOptions(job->options(*password));
    ConsoleDialogs dialogs;
    Recorder recorder(
        session.loop(), [&session] { return session.device(); }, dialogs);
    recorder.keepTrafficOf(session.capture());
    recorder.setOperator(operatorName);
    // Nothing is written before the record says whether it takes the batch.
    QElapsedTimer waited;
    waited.start();
    while (!recorder.known() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!recorder.known() || !recorder.problem().isEmpty()) {
        say(stderr,
            QStringLiteral("kestrel-rfid: production record is off: %1")
                .arg(recorder.known() ? recorder.problem() : QStringLiteral("it did not answer")));
        recorder.close();
        return kRecordFailed;
    }
    if (int code = 0; !captureIfAsked(session, parser.value(c.capture), &code)) {
        recorder.close();
        return code;
    }
    QString reason;
    if (!session.connectPort(*device, &reason)) {
        say(stderr, QStringLiteral("kestrel-rfid: %1: %2").arg(*device, reason));
        recorder.close();
        return kPortFailed;
    }

    QMap<QString, int> results;
    int started = 0;
    int ended = 0;
    // Asked to stop: the tag in progress may end by itself until the deadline.
    std::optional<std::pair<QString, int>> stopAsked;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setInterval(kStopWithinMs);
    QString stoppedWhy;
    int exitCode = kDone;
    QString lastMessage;
    QEventLoop running;
    const qint64 began = QDateTime::currentMSecsSinceEpoch();
    const auto finish = [&](const QString &why, int code) {
        if (stoppedWhy.isEmpty()) {
            stoppedWhy = why;
            exitCode = code;
        }
        deadline.stop();
        // A tag still in progress ends as stopped, its UID in doubt unless confirmed.
        QTimer::singleShot(0, &running, [&] {
            session.loop().stop();
            running.quit();
        });
    };
    // Lets the tag in progress end first, within kStopWithinMs; asked again, at once.
    const auto stopSoon = [&](const QString &why, int code) {
        const bool again = stopAsked.has_value();
        if (!again)
            stopAsked = {why, qMax(exitCode, code)};
        if (again || started == ended)
            finish(stopAsked->first, stopAsked->second);
        else
            deadline.start();
    };
    QObject::connect(&deadline, &QTimer::timeout, &running, [&] {
        finish(stopAsked->first
                   + QStringLiteral("; the tag in progress did not end within %1 s")
                         .arg(kStopWithinMs / 1000),
               stopAsked->second);
    });
    const auto outputFailed = [&](const QString &why) {
        say(stderr, QStringLiteral("kestrel-rfid: %1; the loop stops").arg(why));
        stopSoon(why, kOutputFailed);
    };
    QObject::connect(&session.loop(), &ProductionLoop::shown, &running,
                     [&](const AutoLoop::Actions &a) {
                         if (!a.messages.isEmpty())
                             lastMessage = a.messages.last().text;
                     });
    QObject::connect(&session.loop(), &ProductionLoop::tagStarted, &running, [&] { ++started; });
    QObject::connect(&session.loop(), &ProductionLoop::tagEnded, &running,
                     [&](const AutoLoop::TagOutcome &t) {
                         ++ended;
                         ++results[AutoLoop::resultName(t.result)];
                         if (t.result != AutoLoop::TagOutcome::Result::Complete)
                             exitCode = qMax(exitCode, int(kTagFailed));
                         const bool told = emitEvent(tagEvent(t));
                         // Counted in this run's order: the loop's serial also counts
                         // tags reported again before their first command.
                         person(QStringLiteral("tag %1: %2 %3")
                                    .arg(ended)
                                    .arg(AutoLoop::resultName(t.result),
                                         t.uidRead.isEmpty() ? t.uidAsked : t.uidRead));
                         if (stopAsked)
                             finish(stopAsked->first, qMax(exitCode, stopAsked->second));
                         else if (!told)
                             outputFailed(eventsFailed);
                         else if (limit > 0 && ended >= limit)
                             finish(QStringLiteral("%1 tags have ended").arg(ended), exitCode);
                     });
    QObject::connect(
        &session.loop(), &ProductionLoop::uidRefused, &running, [&](const QString &why) {
            const bool record = !recorder.problem().isEmpty();
            QString said = why;
            // This process ends here: say where the outcomes wait, and who sends
            // them.
            said.replace(QStringLiteral("outcomes wait on this PC."),
                         QStringLiteral("outcomes wait in %1, and the tool's next "
                                        "start sends them.")
                             .arg(QDir::toNativeSeparators(ProductionRecord::spoolPath())));
            if (why.contains(QLatin1String("already written")))
                said += QStringLiteral(" To go on after the UIDs the record holds, "
                                       "give --continue; to start at another, "
                                       "--first UID.");
            finish(said, record ? kRecordFailed : kTagFailed);
        });
    QObject::connect(&session.loop(), &ProductionLoop::failuresStopped, &running,
                     [&](const QString &why) { finish(why, kTagFailed); });
    QObject::connect(&session.loop(), &ProductionLoop::finished, &running,
                     [&](const QString &why) { finish(why, exitCode); });
    bool begun = false;
    QObject::connect(&session.loop(), &ProductionLoop::switched, &running, [&](bool on) {
        begun = begun || on;
        if (on)
            return;
        // After the rest of the step: a refusal says why better than the last message.
        QTimer::singleShot(0, &running, [&] {
            if (stoppedWhy.isEmpty())
                finish(lastMessage.isEmpty() ? QStringLiteral("the loop switched itself off")
                                             : lastMessage,
                       int(kTagFailed));
        });
    });
    QObject::connect(&session, &Session::portFailed, &running,
                     [&](const QString &why) { finish(why, kPortFailed); });
    QObject::connect(&session.capture(), &TrafficCapture::failed, &running, outputFailed);

    std::optional<StopSignals> interrupts(std::in_place);
    if (const std::optional<int> code
        = job->carriesOn() ? carryOnFrom(session, recorder, *interrupts, person) : std::nullopt) {
        interrupts.reset();
        session.disconnectPort();
        recorder.close();
        return *code;
    }
    session.loop().start();
    if (!session.loop().running()) {
        // The job's UID list goes into the record first; a signal cancels that, and the
        // batch never starts.
        const std::optional<QString> loaded = waitForList(recorder, *interrupts);
        if (!loaded || !loaded->isEmpty()) {
            interrupts.reset();
            session.disconnectPort();
            recorder.close();
            // Why the list cannot be used was said as the record's warning.
            if (!loaded)
                say(stderr, QStringLiteral("kestrel-rfid: stopped by a signal before the UID "
                                           "list was ready; no batch was started"));
            return loaded ? kRecordFailed : kDone;
        }
    }
    QObject::connect(&*interrupts, &StopSignals::raised, &running,
                     [&] { stopSoon(QStringLiteral("stopped by a signal"), exitCode); });
    // After the record's own reaction to the start, which names the batch.
    QTimer::singleShot(0, &running, [&] {
        // A used-up list ends the run before any batch opens.
        if (!begun)
            return;
        if (!emitEvent(QJsonObject{{QStringLiteral("event"), QStringLiteral("batch")},
                                   {QStringLiteral("key"), recorder.batchKey()},
                                   {QStringLiteral("options"), job->toObject()},
                                   {QStringLiteral("station"), QSysInfo::machineHostName()},
                                   {QStringLiteral("operator"), recorder.operatorName()},
                                   {QStringLiteral("port"), *device}}))
            outputFailed(eventsFailed);
        person(QStringLiteral("batch started on %1").arg(*device));
    });
    running.exec();
    // Signals from here on find the run stopping already; they are taken (not left to kill
    // the tool while the record closes the batch) and change nothing.
    QObject::disconnect(&*interrupts, nullptr, &running, nullptr);

    session.disconnectPort();
    const QString left = recorder.close();
    if (!left.isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: ") + left);
        exitCode = qMax(exitCode, int(kRecordFailed));
    }
    const double minutes = (QDateTime::currentMSecsSinceEpoch() - began) / 60000.0;
    const double perMinute = minutes > 0 ? std::round(ended / minutes * 10) / 10 : 0.0;
    QJsonObject counts;
    for (auto it = results.cbegin(); it != results.cend(); ++it)
        counts.insert(it.key(), it.value());
    // A failure during the run was said when it happened.
    const bool failedBefore = !eventsFailed.isEmpty();
    const bool toldEnd
        = emitEvent(QJsonObject{{QStringLiteral("event"), QStringLiteral("stopped")},
                                {QStringLiteral("why"), stoppedWhy}})
          && emitEvent(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                                   {QStringLiteral("tags"), ended},
                                   {QStringLiteral("results"), counts},
                                   {QStringLiteral("tagsPerMinute"), perMinute},
                                   {QStringLiteral("exit"), exitCode}});
    if (!toldEnd) {
        if (!failedBefore)
            say(stderr, QStringLiteral("kestrel-rfid: ") + eventsFailed);
        exitCode = kOutputFailed;
    }
    QString why = stoppedWhy;
    if (why.endsWith(u'.'))
        why.chop(1);
    person(QStringLiteral("stopped: %1; %2 %3")
               .arg(why)
               .arg(ended)
               .arg(ended == 1 ? QStringLiteral("tag") : QStringLiteral("tags")));
    return exitCode;
}

} // namespace

QStringList commands()
{
    return kCommands;
}

std::optional<QString> commandOf(const QStringList &arguments)
{
    if (arguments.size() < 2 || !kCommands.contains(arguments.at(1)))
        return std::nullopt;
    return arguments.at(1);
}

int run(QCoreApplication &, const QStringList &arguments)
{
    // A reader of our output that went away (`| head`) is a write error the command handles,
    // never a death mid-tag.
    ::signal(SIGPIPE, SIG_IGN);
    // Likewise a file size limit: the write fails and the run stops, with the batch closed.
    ::signal(SIGXFSZ, SIG_IGN);
    const QString command = commandOf(arguments).value_or(QString());
    // The parser reads the command word as the program's name.
    const QStringList rest = arguments.mid(1);
    if (command == QLatin1String("ports"))
        return portsCommand(rest);
    if (command == QLatin1String("read"))
        return readCommand(rest);
    if (command == QLatin1String("write"))
        return writeCommand(rest, false);
    if (command == QLatin1String("write-uid"))
        return writeCommand(rest, true);
    if (command == QLatin1String("save"))
        return saveCommand(rest);
    if (command == QLatin1String("restore"))
        return restoreCommand(rest);
    if (command == QLatin1String("produce"))
        return produceCommand(rest);
    if (command == QLatin1String("export-records"))
        return exportCommand(rest);
    return usage(QStringLiteral("unknown command"));
}

} // namespace Cli
