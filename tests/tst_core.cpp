#include "core/capturestats.h"
#include "core/configword.h"
#include "core/passwordlist.h"
#include "core/reply.h"
#include "core/settingsstore.h"
#include "core/tagfile.h"
#include "core/trafficformat.h"
#include "core/uid.h"
#include "core/uidlist.h"
#include "station/record/linefigures.h"
#include "testmain.h"

// The pure rules: how a reply head is classified, how UIDs step.
class TestCore : public QObject {
    Q_OBJECT
private slots:
    void classify_data();
    void classify();
    void gatheredText_data();
    void gatheredText();
    void captureStatsFromItsTimes();
    void tagComparedWithItsFile();
    void passwordListsAndTheSearch_data();
    void passwordListsAndTheSearch();
    void everyBoxTextIsExplained();
    void stepSetUid_data();
    void stepSetUid();
    void baseConversions_data();
    void baseConversions();
    void configWordRules_data();
    void configWordRules();
    void uidLists_data();
    void uidLists();
    void lineFiguresReadApart();
    void shiftStarts_data();
    void shiftStarts();
    void serializedSettingsAreCut_data();
    void serializedSettingsAreCut();
    void answersAreMaskedByWhatWasAsked_data();
    void answersAreMaskedByWhatWasAsked();
};

void TestCore::classify_data()
{
    QTest::addColumn<QString>("head");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("block");
    QTest::addColumn<QString>("payload");
    using K = Reply::Kind;
    QTest::newRow("errorCodeIsTenthCharacter") << "ErrCode:01" << int(K::Error) << 1 << 0 << "";
    QTest::newRow("errorWithLetterCodeIsZero") << "ErrCode:0x" << int(K::Error) << 0 << 0 << "";
    QTest::newRow("shortErrorHasNoCode") << "Err" << int(K::Error) << 0 << 0 << "";
    QTest::newRow("messageBeatsBlockRead") << "MsgCode:05" << int(K::Message) << 5 << 0 << "";
    QTest::newRow("errBeforeR") << "ErrR000000" << int(K::Error) << 0 << 0 << "";
    QTest::newRow("blockRead") << "R31234ABCD" << int(K::BlockRead) << 0 << 3 << "1234ABCD";
    QTest::newRow("blockWrite") << "W700000000" << int(K::BlockWrite) << 0 << 7 << "00000000";
    QTest::newRow("blockDigitLetterIsZero")
        << "RX1234ABCD" << int(K::BlockRead) << 0 << 0 << "1234ABCD";
    QTest::newRow("blockNine") << "R91234ABCD" << int(K::BlockRead) << 0 << 9 << "1234ABCD";
    QTest::newRow("shortReadStillRead") << "R3" << int(K::BlockRead) << 0 << 3 << "";
    QTest::newRow("identifier") << "1122334455" << int(K::Identifier) << 0 << 0 << "1122334455";
    QTest::newRow("lowerCaseIsNoPrefix") << "err0000001" << int(K::Other) << 0 << 0 << "";
    QTest::newRow("lowerCaseHexIsIdentifier")
        << "00ab123456" << int(K::Identifier) << 0 << 0 << "00ab123456";
    QTest::newRow("tailOfABrokenReplyIsNoIdentifier") << "66666666\r\n"
                                                      << int(K::Other) << 0 << 0 << "";
    QTest::newRow("garbledIdIsNoIdentifier") << "000?093452" << int(K::Other) << 0 << 0 << "";
    QTest::newRow("reservedIdentifier") << "8813100000" << int(K::Other) << 0 << 0 << "";
    QTest::newRow("probeAnswer") << "OK" << int(K::Other) << 0 << 0 << "";
    QTest::newRow("empty") << "" << int(K::Other) << 0 << 0 << "";
    QTest::newRow("nineCharacters") << "112233445" << int(K::Other) << 0 << 0 << "";
}

void TestCore::classify()
{
    QFETCH(QString, head);
    const Reply::Parsed p = Reply::classify(head);
    QTEST(int(p.kind), "kind");
    QTEST(p.code, "code");
    QTEST(p.block, "block");
    QTEST(p.payload, "payload");
}

void TestCore::gatheredText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("gathered");
    using G = Reply::Gathered;
    QTest::newRow("whole") << QByteArray("MsgCode:05\r\n") << int(G::Reply);
    QTest::newRow("headWithoutLineEnd") << QByteArray("R31234ABCD") << int(G::Reply);
    QTest::newRow("startOfAReply") << QByteArray("MsgCod") << int(G::Fragment);
    QTest::newRow("nineCharacters") << QByteArray("ErrCode:0") << int(G::Fragment);
    QTest::newRow("shortWithLineEnd") << QByteArray("OK\r\n") << int(G::Reply);
    QTest::newRow("shortWithCarriageReturn") << QByteArray("OK\r") << int(G::Reply);
    QTest::newRow("lineEndAlone") << QByteArray("\r\n") << int(G::LineEnd);
    QTest::newRow("lineFeedAlone") << QByteArray("\n") << int(G::LineEnd);
    QTest::newRow("nothing") << QByteArray() << int(G::Reply);
    QTest::newRow("noiseAfterLineEnd") << QByteArray("\r\nZ") << int(G::Reply);
}

void TestCore::gatheredText()
{
    QFETCH(QByteArray, text);
    QTEST(int(Reply::gathered(text)), "gathered");
}

void TestCore::everyBoxTextIsExplained()
{
    for (int code = Reply::kLengthIncorrect; code <= Reply::kLockError; ++code) {
        const QString text = Reply::errorText(code);
        QVERIFY2(text.isEmpty() || !Reply::plainMeaning(text).isEmpty(), qPrintable(text));
    }
    for (const char *text : {"No recpone command!", "Ready - Not Config", "Ready - No UID"})
        QVERIFY2(!Reply::plainMeaning(QString::fromLatin1(text)).isEmpty(), text);
}

void TestCore::stepSetUid_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("k");
    QTest::addColumn<QString>("stepped");
    QTest::newRow("decimalByOne") << "0000001234" << qint64(1) << "0000001235";
    QTest::newRow("decimalCarriesIntoPrefix") << "0000999999" << qint64(1) << "0001000000";
    QTest::newRow("hexDigitsOnlyStepDecimally") << "0000000009" << qint64(1) << "0000000010";
    QTest::newRow("prefixFormKeepsFirstFour") << "00AB123456" << qint64(1) << "00AB123457";
    QTest::newRow("prefixFormByTwo") << "00AB123456" << qint64(2) << "00AB123458";
    QTest::newRow("letterInTailReadsAsZero") << "00000000AB" << qint64(1) << "0000000001";
    QTest::newRow("tailOverflowGrows") << "00AB999999" << qint64(1) << "00AB1000000";
    QTest::newRow("elevenDigits") << "9999999999" << qint64(1) << "10000000000";
    QTest::newRow("zeroStep") << "0000000042" << qint64(0) << "0000000042";
}

void TestCore::stepSetUid()
{
    QFETCH(QString, text);
    QFETCH(qint64, k);
    QTEST(Uid::StepSetUid(text, k), "stepped");
}

void TestCore::baseConversions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("backToDecimal");
    QTest::newRow("small") << "0000123456"
                           << "000001E240"
                           << "0000123456";
    QTest::newRow("largestConverted") << "2147483647"
                                      << "007FFFFFFF"
                                      << "0016777215";
    QTest::newRow("aboveLargestIsZero") << "2147483648"
                                        << "0000000000"
                                        << "0000000000";
    QTest::newRow("onlyLowest24BitsComeBack") << "0020000000"
                                              << "0001312D00"
                                              << "0003222784";
    QTest::newRow("notDecimalIsZero") << "00000000AB"
                                      << "0000000000"
                                      << "0000000000";
    QTest::newRow("zero") << "0000000000"
                          << "0000000000"
                          << "0000000000";
}

void TestCore::baseConversions()
{
    QFETCH(QString, text);
    const QString hex = Uid::decimalToHex(text);
    QTEST(hex, "hex");
    QTEST(Uid::hexToDecimal(hex), "backToDecimal");
    QCOMPARE(Uid::hexToDecimal(QStringLiteral("FFFFFFFFFF")), QStringLiteral("0016777215"));
    QCOMPARE(Uid::hexToDecimal(QStringLiteral("0012AB3456")), QStringLiteral("0011220054"));
}

void TestCore::configWordRules_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("standardThroughProtectionAndBack")
        << "00148040" << QStringList{"pwd", "aor", "-pwd", "-aor"}
        << QStringList{"00148050", "00148250", "00148240", "00148040"};
    QTest::newRow("otherWordKeepsItsHead") << "11223344" << QStringList{"pwd", "aor", "-aor"}
                                           << QStringList{"11223350", "11223250", "11223050"};
    QTest::newRow("defaultWordReplacedBeforeComposing")
        << "00010000" << QStringList{"pwd"} << QStringList{"00148050"};
    QTest::newRow("defaultWordReplacedWhenClearing")
        << "00010000" << QStringList{"-pwd"} << QStringList{"00148040"};
    QTest::newRow("unlockClearsBothBits")
        << "00148250" << QStringList{"unlock"} << QStringList{"00148040"};
    QTest::newRow("noPresentMarksBoth")
        << "00148040" << QStringList{"noPresent+pwd+aor"} << QStringList{"00148250"};
    QTest::newRow("noPresentAorOnly")
        << "00148040" << QStringList{"noPresent+aor"} << QStringList{"00148250"};
    QTest::newRow("noPresentNeither")
        << "12345678" << QStringList{"noPresent"} << QStringList{"12345678"};
}

void TestCore::configWordRules()
{
    QFETCH(QString, start);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, words);
    QString word = start;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const QString &step = steps[i];
        if (step.endsWith(QLatin1String("pwd")) && !step.startsWith(QLatin1String("noPresent")))
            word = ConfigWord::withPwd(word, !step.startsWith(u'-'));
        else if (step.endsWith(QLatin1String("aor"))
                 && !step.startsWith(QLatin1String("noPresent")))
            word = ConfigWord::withAor(word, !step.startsWith(u'-'));
        else if (step == QLatin1String("unlock"))
            word = ConfigWord::unlocked(word);
        else
            word = ConfigWord::afterNoPresent(word, step.contains(QLatin1String("pwd")),
                                              step.contains(QLatin1String("aor")));
        QCOMPARE(word, words[i]);
    }
}

void TestCore::uidLists_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("hex");
    // The IDs taken, in order, or the refusal's words.
    QTest::addColumn<QString>("expected");
    QTest::newRow("hex, heading, CRLF, blank and lower case")
        << QByteArray("\xef\xbb\xbfUID\r\n00000000ff\r\n\r\nABCDEFABCD\r\n") << 1 << true
        << "00000000FF ABCDEFABCD";
    QTest::newRow("decimal in the second quoted CSV column")
        << QByteArray("name;id\n\"a;b\";\"0000000256\"\nc;4294967295\n") << 2 << false
        << "0000000256 4294967295";
    QTest::newRow("bad lines are named, and a duplicate, in any case")
        << QByteArray("0000000001\n00000000G1\n000000001\n00000000aB\n00000000AB\n") << 1 << true
        << "line 2 \"00000000G1\" is not ten hexadecimal digits; line 3 \"000000001\" is not "
           "ten hexadecimal digits; line 5 repeats the ID of line 4";
    QTest::newRow("decimal past 32 bits, and the hexadecimal spelling")
        << QByteArray("4294967296\n00000000FF\n") << 1 << false
        << "line 1 \"4294967296\" is not ten decimal digits up to 4294967295; line 2 "
           "\"00000000FF\" is not ten decimal digits up to 4294967295";
    QTest::newRow("a missing column") << QByteArray("id,uid\n0000000001,0000000009\n0000000002\n")
                                      << 2 << true << "line 3 has no field 2";
    QTest::newRow("nothing but a heading") << QByteArray("id\n\n") << 1 << true << "it holds no ID";
    QTest::newRow("binary") << QByteArray("0000000001\n\0\x01", 13) << 1 << true
                            << "it is not a text file";
    QByteArray many;
    for (int i = 0; i < 12; ++i)
        many += "x\n";
    QTest::newRow("many bad lines are counted")
        << QByteArray("0000000001\n" + many) << 1 << true
        << "line 2 \"x\" is not ten hexadecimal digits; line 3";
}

void TestCore::uidLists()
{
    QFETCH(QByteArray, text);
    QFETCH(int, column);
    QFETCH(bool, hex);
    QFETCH(QString, expected);
    QString error;
    const std::optional<UidList> list = UidList::parse(text, column, hex, &error);
    if (!list) {
        QVERIFY2(error.startsWith(expected), qPrintable(error));
        if (QTest::currentDataTag() == QLatin1String("many bad lines are counted"))
            QVERIFY2(error.endsWith(QStringLiteral("; and 2 more bad lines")), qPrintable(error));
        return;
    }
    QStringList ids;
    for (const UidList::Id &id : list->ids())
        ids << id.text;
    QCOMPARE(ids.join(u' '), expected);
}

KESTREL_TEST_MAIN(TestCore)
void TestCore::lineFiguresReadApart()
{
    // The pace of tags that ended over 17 s is no count per minute; one tag has no pace.
    LineFigures f;
    const qint64 t0
        = QDateTime(QDate(2026, 12, 9), QTime(11, 8, 10), QTimeZone::utc()).toMSecsSinceEpoch();
    f.add({t0, QStringLiteral("a"), QStringLiteral("complete"), 0, {}});
    QCOMPARE(f.total().rateText(), QStringLiteral("-"));
    for (int i = 1; i < 12; ++i)
        f.add({t0 + i * 17000 / 11, QStringLiteral("a"), QStringLiteral("complete"), 0, {}});
    QCOMPARE(f.total().rateText(), QStringLiteral("\u224838.8"));
    QCOMPARE(f.brief(), QStringLiteral("Line: \u224838.8 tags/min, first pass 100 %"));
    QCOMPARE(f.glance(), QStringLiteral("\u224838.8/min, 100 %"));
    f.add({t0 + 120000, QStringLiteral("a"), QStringLiteral("complete"), 0, {}});
    QCOMPARE(f.total().rateText(), QStringLiteral("6.0"));

    // Ticks: a minute apart at most six minutes, whole counts.
    using T = LineFigures::Ticks;
    const auto same = [](const T &a, const T &b) {
        return a.from == b.from && a.to == b.to && a.count == b.count;
    };
    const qint64 m = 60000;
    const qint64 at = t0 - 10000;
    QVERIFY(same(LineFigures::minuteTicks(t0, t0 + 17000), {at, at + m, 2}));
    QVERIFY(same(LineFigures::minuteTicks(t0, t0 + 3 * m), {at, at + 4 * m, 5}));
    QVERIFY(same(LineFigures::minuteTicks(t0, t0 + 90 * m), {at, at + 91 * m, 7}));
    QVERIFY(same(LineFigures::countTicks(0), {0, 1, 2}));
    QVERIFY(same(LineFigures::countTicks(1), {0, 1, 2}));
    QVERIFY(same(LineFigures::countTicks(5), {0, 5, 6}));
    QVERIFY(same(LineFigures::countTicks(7), {0, 8, 5}));
    QVERIFY(same(LineFigures::countTicks(12), {0, 12, 7}));
    QVERIFY(same(LineFigures::countTicks(41), {0, 50, 6}));
    QVERIFY(same(LineFigures::countTicks(1234), {0, 1500, 4}));
}

void TestCore::shiftStarts_data()
{
    QTest::addColumn<QString>("starts");
    QTest::addColumn<QString>("now");
    // Empty: no shift times; "refused": the text is.
    QTest::addColumn<QString>("began");
    QTest::newRow("none") << ""
                          << "2026-12-09 10:00"
                          << "";
    QTest::newRow("threeShifts") << "06:00 14:00 22:00"
                                 << "2026-12-09 15:30"
                                 << "2026-12-09 14:00";
    QTest::newRow("onTheMinute") << "06:00,14:00;22:00"
                                 << "2026-12-09 14:00"
                                 << "2026-12-09 14:00";
    QTest::newRow("beforeTheFirst") << "06:00 14:00 22:00"
                                    << "2026-12-09 03:10"
                                    << "2026-12-08 22:00";
    QTest::newRow("unsortedShortHours") << "22:00 6:00"
                                        << "2026-12-09 07:00"
                                        << "2026-12-09 06:00";
    QTest::newRow("oneShiftADay") << "07:30"
                                  << "2026-12-09 07:29"
                                  << "2026-12-08 07:30";
    QTest::newRow("noMinutes") << "06"
                               << "2026-12-09 07:00"
                               << "refused";
    QTest::newRow("pastMidnight") << "24:00"
                                  << "2026-12-09 07:00"
                                  << "refused";
    QTest::newRow("words") << "morning"
                           << "2026-12-09 07:00"
                           << "refused";
}

void TestCore::shiftStarts()
{
    QFETCH(QString, starts);
    QFETCH(QString, now);
    QFETCH(QString, began);
    QString error;
    const auto times = LineFigures::shiftStarts(starts, &error);
    QCOMPARE(!times, began == QLatin1String("refused"));
    if (!times) {
        QVERIFY2(error.contains(u'"'), qPrintable(error));
        return;
    }
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");
    const QDateTime at = LineFigures::shiftBegan(*times, QDateTime::fromString(now, format));
    QCOMPARE(at.isValid() ? at.toString(format) : QString(), began);
}

// A settings entry Qt would decode through its binary stream is cut however it is spelled; every
// other entry stays byte for byte.
void TestCore::serializedSettingsAreCut_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("foundByFuzzing")
        << QByteArray::fromBase64("aFtHZW5lcmFsXQpyZWNvcmQ9QFZhcmlhbnQoXDBcMFwwXGlHZXQoXDBcMFwwXHg3"
                                  "JgEAAABcMFx4NCkKW2NvbWJvXQpwb3J0PTk5CnJlY29yZD0KW2x4NyZcMFww"
                                  "XGluZQ==")
        << QByteArray("h[General]\n\n[combo]\nport=99\nrecord=\n[lx7&\\0\\0\\ine");
    QTest::newRow("plain") << QByteArray("a=@Variant(x)\nb=1\n") << QByteArray("\nb=1\n");
    QTest::newRow("dateTime") << QByteArray("b=1\r\n a = @DateTime(x)\r\n")
                              << QByteArray("b=1\r\n \r\n");
    QTest::newRow("quoted") << QByteArray("a=\"@Variant(x)\"\nb=1") << QByteArray("\nb=1");
    QTest::newRow("hexAt") << QByteArray("a=\\x40Variant(x)\nb=1") << QByteArray("\nb=1");
    QTest::newRow("wideHexAt") << QByteArray("a=\\x10040Variant(x)") << QByteArray();
    QTest::newRow("octalAt") << QByteArray("a=\\100DateTime(x)\nb=1") << QByteArray("\nb=1");
    QTest::newRow("afterSkippedEscape") << QByteArray("a=\\q@Variant(x)") << QByteArray();
    QTest::newRow("inAList") << QByteArray("a=x, @Variant(y), z\nb=1") << QByteArray("\nb=1");
    QTest::newRow("continuedLine")
        << QByteArray("a=@Variant(x\\\ny)\nb=1\n") << QByteArray("\nb=1\n");
    QTest::newRow("quoteOverLineEnd")
        << QByteArray("a=\"@Variant(x\ny)\"\nb=1\n") << QByteArray("\nb=1\n");
    const QByteArray kept[] = {
        "record=postgresql://u@host/db\n",
        "geometry=\"@ByteArray(\\x1\\0,)\"\n",
        "a=@@Variant(x)\n",
        "a=\"x\"@Variant(y)\n",
        "a=@variant(x)\n",
        ";a=@Variant(x)\n",
        "a=x;@Variant(y)\n",
        "[@Variant(x)]\n",
        "@Variant(x)\n",
        "a=xxxxxxxxxx@Variant(y)\n",
    };
    for (const QByteArray &ini : kept)
        QTest::newRow(ini.trimmed().constData()) << ini << ini;
}

void TestCore::serializedSettingsAreCut()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, kept);
    QCOMPARE(SettingsStore::withoutSerialized(ini), kept);
}

// A capture is sent to outsiders: the password must not survive noise, a split or a late
// answer, and what holds no secret stays readable.
void TestCore::answersAreMaskedByWhatWasAsked_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QList<QByteArray>>("parts");
    QTest::addColumn<QByteArray>("kept");
    using Parts = QList<QByteArray>;
    QTest::newRow("a noise byte before the block-7 answer")
        << QByteArray("RP71A2B3C4D") << Parts{QByteArray("\0R71A2B3C4D\r\n", 13)}
        << QByteArray("\0R7********\r\n", 13);
    QTest::newRow("the answer split after its first digits")
        << QByteArray("RP71A2B3C4D") << Parts{"R71A", "2B3C4D\r\n"} << QByteArray("R7********\r\n");
    QTest::newRow("a block-7 write answered after a report")
        << QByteArray("WB70BADCAFE") << Parts{"MsgCode:03\r\nW70BADCAFE\r\n"}
        << QByteArray("MsgCode:03\r\nW7********\r\n");
    QTest::newRow("a block-7 read without a password, garbled") << QByteArray("RB7")
                                                                << Parts{"xR\x07"
                                                                         "DEADBEEF\r\n"}
                                                                << QByteArray("xR\x07********\r\n");
    QTest::newRow("the password inside another answer")
        << QByteArray("WP0CAFE0001") << Parts{"W0CAFE00010\r\n"} << QByteArray("W0********0\r\n");
    QTest::newRow("an unlock answers block 0 in the clear")
        << QByteArray("WP0CAFE000100148040") << Parts{"W000148040\r\n"}
        << QByteArray("W000148040\r\n");
    QTest::newRow("a UID report after a plain command")
        << QByteArray("GTS") << Parts{"1122334455\r\n"} << QByteArray("1122334455\r\n");
    QTest::newRow("an error after a password command")
        << QByteArray("RP7CAFE0001") << Parts{"Password Error!\r\n"}
        << QByteArray("Password Error!\r\n");
}

void TestCore::answersAreMaskedByWhatWasAsked()
{
    QFETCH(QByteArray, command);
    QFETCH(QList<QByteArray>, parts);
    QFETCH(QByteArray, kept);
    const TrafficFormat::Secrets s = TrafficFormat::secretsOf(command);
    QByteArray soFar;
    QByteArray written;
    for (int i = 0; i < parts.size(); ++i) {
        const QByteArray masked
            = TrafficFormat::maskedReply(soFar + parts[i], s.values, s.blockSeven,
                                         i + 1 == parts.size() || parts[i].endsWith('\n'));
        written += masked.mid(soFar.size());
        soFar += parts[i];
    }
    QCOMPARE(written, kept);
}

// Three tags as a capture holds them, milliseconds from the first line: the box's times come
// out less the answers' characters, the conveyor from the buzzer to the next report.
void TestCore::captureStatsFromItsTimes()
{
    QByteArray capture = "# kestrel-rfid traffic capture 1\n";
    const auto at = [&](double ms, char direction, const QByteArray &text) {
        const qint64 us = 100000000 + qint64(ms * 1000);
        capture += QByteArray::number(us / 1000000) + '.'
                   + QByteArray::number(us % 1000000).rightJustified(6, '0') + ' ' + direction + ' '
                   + text + '\n';
    };
    double t = 0;
    for (int tag = 0; tag < 3; ++tag) {
        at(t, '<', "MsgCode:03\\r\\n");
        at(t += 100, '>', "WUX0000000001\\r\\n");
        // 12 characters take 12.5 ms: the box took 120 ms.
        at(t += 132.5, '<', "0000000001\\r\\n");
        at(t += 1, '>', "WB333333333\\r\\n");
        at(t += 52.5, '<', "W333333333\\r\\n");
        at(t += 1, '>', "SB1\\r\\n");
        at(t += 17.5, '<', "MsgCode:01\\r\\n");
        at(t += 60, '<', "MsgCode:05\\r\\n");
        t += 110;
    }
    at(t, '<', "MsgCode:03\\r\\n");
    at(t + 5, '>', "WUX00000");
    QString error;
    const std::optional<CaptureStats::Stats> s = CaptureStats::analyse(capture, &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->kinds.size(), 3);
    QCOMPARE(s->kinds[0].name, QStringLiteral("WUX"));
    QCOMPARE(s->kinds[0].unanswered, 1);
    QCOMPARE(CaptureStats::median(s->kinds[0].boxMs), 120.0);
    QCOMPARE(s->kinds[1].name, QStringLiteral("WB"));
    QCOMPARE(CaptureStats::median(s->kinds[1].boxMs), 40.0);
    // From the second buzzer on: the first tag ran with whatever came before it.
    QCOMPARE(s->tags.size(), 2);
    const CaptureStats::Tag &tag = s->tags[0];
    QCOMPARE(tag.conveyorMs, 17.5 + 60 + 110);
    QCOMPARE(*tag.periodMs, 100 + 132.5 + 1 + 52.5 + 1 + 17.5 + 60 + 110);
    QCOMPARE(CaptureStats::periodMs(tag, AutoLoop::Options::Pace::Replies, 0),
             132.5 + 52.5 + tag.conveyorMs);
    // Ticks: 600 ms to the first command, 20 ms of quiet line after the report and after each
    // of the two answers, a tick after the UID.
    QCOMPARE(CaptureStats::periodMs(tag, AutoLoop::Options::Pace::Ticks, 600),
             132.5 + 52.5 + tag.conveyorMs + 600 + 60 + 300);

    QVERIFY(
        !CaptureStats::analyse("100.000000 > GTS\\r\\n\nnot a capture\n100.100000 < x\n", &error));
    QCOMPARE(error, QStringLiteral("line 2 is not a line of a traffic capture"));
    QVERIFY(!CaptureStats::analyse("# only a heading\n", &error));
}

void TestCore::passwordListsAndTheSearch_data()
{
    QTest::addColumn<QByteArray>("text");
    // The candidates after the built-in ones, with the line each came from.
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<QStringList>("skipped");
    QTest::addColumn<QString>("problem");
    QTest::newRow("commentsAndCase")
        << QByteArray("# returns\n0badcafe\r\n  1A2B3C4D # ours\n\n")
        << QStringList{"0BADCAFE@2", "1A2B3C4D@3"} << QStringList() << QString();
    QTest::newRow("badLinesNamed")
        << QByteArray("0BADCAFE\n0BADCAF\n0BADCAFEE\nG0000000\n") << QStringList{"0BADCAFE@1"}
        << QStringList{"line 2: not eight hexadecimal digits",
                       "line 3: not eight hexadecimal digits",
                       "line 4: not eight hexadecimal digits"}
        << QString();
    // Tried once: the built-in entry, or the first line that lists it.
    QTest::newRow("repeatsOnce") << QByteArray("51243648\n0BADCAFE\n0badcafe\n")
                                 << QStringList{"0BADCAFE@2"} << QStringList() << QString();
    QTest::newRow("binary") << QByteArray("0BADCAFE\n\0\x01", 11) << QStringList() << QStringList()
                            << QStringLiteral("list is not a text file");
    QTest::newRow("empty") << QByteArray() << QStringList() << QStringList() << QString();
    // Another kind of file chosen by mistake.
    QTest::newRow("noPassword") << QByteArray("{\"format\": \"kestrel-rfid-job\"}\n")
                                << QStringList()
                                << QStringList{"line 1: not eight hexadecimal digits"}
                                << QStringLiteral("list holds no password (line 1: not eight "
                                                  "hexadecimal digits)");
}

void TestCore::passwordListsAndTheSearch()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, candidates);
    QFETCH(QStringList, skipped);
    QFETCH(QString, problem);
    const PasswordList::Loaded l = PasswordList::parse(text, QStringLiteral("list"));
    QCOMPARE(l.problem, problem);
    QCOMPARE(l.skipped, skipped);
    QStringList got;
    for (const PasswordList::Candidate &c : l.candidates) {
        QVERIFY(c.source.startsWith(QLatin1String("line "))
                && c.source.endsWith(QLatin1String(" of list")));
        got << c.password + u'@' + c.source.section(u' ', 1, 1);
    }
    QCOMPARE(got, candidates);

    // The search over them, against a tag whose password is the list's last: each wrong one
    // answered "Password Error!", the right one with block 7.
    const QList<PasswordList::Candidate> all = PasswordList::together(l.candidates);
    PasswordList::Search search(all);
    const QString password = all.constLast().password;
    int sent = 0;
    while (const std::optional<QString> command = search.nextCommand()) {
        QVERIFY(command->startsWith(QLatin1String("RP7")));
        ++sent;
        search.answered(Reply::classify(command->mid(3) == password
                                            ? QStringLiteral("R7") + password
                                            : QStringLiteral("ErrCode:05")));
    }
    QCOMPARE(sent, all.size());
    QCOMPARE(search.found()->source, all.constLast().source);
    QVERIFY(search.outcome().startsWith(QStringLiteral("found: %1").arg(all.constLast().source)));
    QVERIFY(!search.outcome().contains(password));

    // Whatever else ends it: none opened it, no tag, no reply; nothing is tried after.
    using State = PasswordList::Search::State;
    const struct {
        std::optional<QString> answer;
        State state;
        const char *outcome;
    } kEnds[] = {
        {QStringLiteral("ErrCode:05"), State::NotFound, "not found: none of"},
        {QStringLiteral("ErrCode:03"), State::NoTag, "stopped: no tag in the field at try 1"},
        {std::nullopt, State::Unexpected, "stopped: no reply at try 1"},
        {QStringLiteral("W700000000"), State::Unexpected, "stopped: an answer that is not block 7"},
    };
    for (const auto &end : kEnds) {
        PasswordList::Search s(all);
        while (s.nextCommand()) {
            s.answered(end.answer ? std::optional(Reply::classify(*end.answer)) : std::nullopt);
            if (end.state != State::NotFound)
                break;
        }
        QCOMPARE(s.state(), end.state);
        QVERIFY2(s.outcome().startsWith(QLatin1String(end.outcome)), qPrintable(s.outcome()));
        QVERIFY(!s.nextCommand());
        QVERIFY(!s.found());
    }
}

void TestCore::tagComparedWithItsFile()
{
    TagFile::Contents file;
    file.blocks = {QStringLiteral("00148040"),
                   std::nullopt,
                   std::nullopt,
                   QStringLiteral("3333aaaa"),
                   std::nullopt,
                   std::nullopt,
                   std::nullopt,
                   QStringLiteral("5EC12E7A")};
    std::array<std::optional<QString>, 8> tag{QStringLiteral("00148040")};
    tag[3] = QStringLiteral("3333AAAA");
    tag[7] = QStringLiteral("0BADCAFE");
    // Without the password block 7 is left out; case does not matter.
    QCOMPARE(TagFile::compared(file, false), (QList<int>{0, 3}));
    QVERIFY(TagFile::compare(file, tag, false).isEmpty());
    // With it, a wrong password is named, never shown; a block the tag did not give differs.
    tag[0].reset();
    const QList<TagFile::Difference> d = TagFile::compare(file, tag, true);
    QCOMPARE(d.size(), 2);
    QCOMPARE(d[0].block, 0);
    QCOMPARE(d[0].tag, QStringLiteral("not read"));
    QCOMPARE(d[1].block, 7);
    QCOMPARE(d[1].file, QStringLiteral("(password)"));
    QCOMPARE(d[1].tag, QStringLiteral("(password)"));
}

#include "tst_core.moc"
