#include "box/boxengine.h"
#include "box/boxreplay.h"
#include "box/virtualbox.h"
#include "boxfixture.h"
#include "core/tagconfig.h"
#include "core/trafficformat.h"
#include "station/link/serialtransport.h"
#include "testmain.h"

#include <QProcess>

using T5557::Tag;

// The virtual box: EM4100 codec, protocol engine, and the paced pseudo-terminal line.
class TestBox : public QObject {
    Q_OBJECT
private slots:
    void em4100Vectors_data();
    void em4100Vectors();
    void em4100RejectsCorruptFrames();
    void configDecode_data();
    void configDecode();
    void syntaxErrors_data();
    void syntaxErrors();
    void settingsCommandsChangeState();
    void statusReports_data();
    void statusReports();
    void blockReadsAndWrites();
    void passwordProtection();
    void aorLockedTagIsSilentUntilWoken();
    void uidWrites();
    void arrivalAndDeparture();
    void replyBytesAndPacingThroughRealPort();
    void faultsShapeTheNextReply();
    void conveyorSwapsWrittenTagOnBuzzer();
    void executableServesItsPort();
    void replayReadsOnlyCaptures_data();
    void replayReadsOnlyCaptures();
};

void TestBox::em4100Vectors_data()
{
    QTest::addColumn<quint64>("id");
    QTest::addColumn<quint32>("block1");
    QTest::addColumn<quint32>("block2");
    QTest::newRow("1122334455") << quint64(0x1122334455) << quint32(0xFF8C6529)
                                << quint32(0x8C94A940);
    QTest::newRow("zero") << quint64(0) << quint32(0xFF800000) << quint32(0x00000000);
}

void TestBox::em4100Vectors()
{
    QFETCH(quint64, id);
    QFETCH(quint32, block1);
    QFETCH(quint32, block2);
    const auto [b1, b2] = Em4100::encode(id);
    QCOMPARE(b1, block1);
    QCOMPARE(b2, block2);
    QCOMPARE(Em4100::decode(block1, block2), std::optional<quint64>(id));
    for (quint64 other : {quint64(1), quint64(0xFFFFFFFFFF), quint64(0x00DEADBEEF)}) {
        const auto [o1, o2] = Em4100::encode(other);
        QCOMPARE(Em4100::decode(o1, o2), std::optional<quint64>(other));
    }
}

// Every single flipped bit is caught, and the check names what caught it.
void TestBox::em4100RejectsCorruptFrames()
{
    for (quint64 id : {quint64(0x1122334455), quint64(0), quint64(0xFFFFFFFFFF)}) {
        const auto [b1, b2] = Em4100::encode(id);
        for (int bit = 0; bit < 64; ++bit) {
            const quint64 frame = ((quint64(b1) << 32) | b2) ^ (quint64(1) << bit);
            const Em4100::Check c = Em4100::check(quint32(frame >> 32), quint32(frame));
            QVERIFY2(!c.id, qPrintable(QString::number(bit)));
            const QString expected = bit >= 55  ? QStringLiteral("header")
                                     : bit == 0 ? QStringLiteral("stop bit")
                                     : bit < 5
                                         ? QStringLiteral("column parity")
                                         : QStringLiteral("row parity %1").arg(10 - (bit - 5) / 5);
            QCOMPARE(c.failure, expected);
        }
    }
    QCOMPARE(Em4100::check(0, 0).failure, QStringLiteral("header"));
    QCOMPARE(Em4100::decimalForm(0x1122334455), QStringLiteral("0573785173"));
}

void TestBox::configDecode_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("text");
    QTest::newRow("em4100") << "00148040"
                            << "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off";
    QTest::newRow("locked") << "00148250"
                            << "RF/64, Manchester, MaxBlock 2, PWD on, AOR on, ST off";
    QTest::newRow("rf8Direct") << "00000000"
                               << "RF/8, Direct, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("rf16Psk1") << "00041000"
                              << "RF/16, PSK1 (carrier RF/2), MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("rf32Psk2") << "00082000"
                              << "RF/32, PSK2 (carrier RF/2), MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("rf40Psk3Carrier8") << "000C3800"
                                      << "RF/40, PSK3 (carrier RF/8), MaxBlock 0, PWD off, AOR "
                                         "off, ST off";
    QTest::newRow("rf50Fsk1") << "00104000"
                              << "RF/50, FSK1, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("rf100Fsk2") << "00185000"
                               << "RF/100, FSK2, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("rf128Fsk1a") << "001C6000"
                                << "RF/128, FSK1a, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("fsk2a") << "00007000"
                           << "RF/8, FSK2a, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("defaultWordBiphase") << "00010000"
                                        << "RF/8, Biphase, MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("biphase57") << "00018000"
                               << "RF/8, Biphase ('57), MaxBlock 0, PWD off, AOR off, ST off";
    QTest::newRow("maxBlock7St") << "000080E8"
                                 << "RF/8, Manchester, MaxBlock 7, PWD off, AOR off, ST on";
    QTest::newRow("porDelay") << "00148041"
                              << "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off, POR "
                                 "delay on";
    // The ATA5577's word on delivery.
    QTest::newRow("ata5577Delivery") << "00088040"
                                     << "RF/32, Manchester, MaxBlock 2, PWD off, AOR off, ST off";
    QTest::newRow("masterKeyOnBasicWord") << "60148040"
                                          << "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, "
                                             "ST off, master key 6 (test mode off)";
    QTest::newRow("masterKeyWithoutXMode") << "90148040"
                                           << "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, "
                                              "ST off, master key 9";
    QTest::newRow("otherMasterKey") << "80148040"
                                    << "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off, "
                                       "master key 8";
    // Configurations other systems leave on T5577 blanks.
    QTest::newRow("extendedPsk1") << "603E1040"
                                  << "extended mode, RF/32, PSK1 (carrier RF/2), MaxBlock 2, PWD "
                                     "off, AOR off, OTP off, start marker off, fast write off, "
                                     "inverse data off, master key 6 (test mode off)";
    QTest::newRow("extendedBiphaseInverse") << "903F0082"
                                            << "extended mode, RF/32, Biphase, MaxBlock 4, PWD "
                                               "off, AOR off, OTP off, start marker off, fast "
                                               "write off, inverse data on, master key 9";
    QTest::newRow("extendedRf64") << "907F0042"
                                  << "extended mode, RF/64, Biphase, MaxBlock 2, PWD off, AOR "
                                     "off, OTP off, start marker off, fast write off, inverse "
                                     "data on, master key 9";
    QTest::newRow("extendedSlowest") << "60FE0000"
                                     << "extended mode, RF/128, Direct, MaxBlock 0, PWD off, AOR "
                                        "off, OTP off, start marker off, fast write off, inverse "
                                        "data off, master key 6 (test mode off)";
    QTest::newRow("extendedEveryLowBit") << "6002033F"
                                         << "extended mode, RF/2, Direct, MaxBlock 1, PWD on, AOR "
                                            "on, OTP on, start marker on, fast write on, inverse "
                                            "data on, POR delay on, master key 6 (test mode off)";
    QTest::newRow("extendedBitRate2n2") << "90161400"
                                        << "extended mode, RF/12, PSK1 (carrier RF/4), MaxBlock "
                                           "0, PWD off, AOR off, OTP off, start marker off, fast "
                                           "write off, inverse data off, master key 9";
    QTest::newRow("pskCarrierReserved") << "00140C00"
                                        << "not a T5557-family configuration (PSK carrier 3 is "
                                           "reserved)";
    QTest::newRow("undefinedModulation") << "00009000"
                                         << "not a T5557-family configuration (modulation code 9 "
                                            "is reserved)";
    QTest::newRow("extendedUndefinedModulation") << "6002A000"
                                                 << "not a T5557-family configuration "
                                                    "(modulation code 10 is reserved)";
    QTest::newRow("xModeWithoutKey") << "00168040"
                                     << "not a T5557-family configuration (the X-mode bit needs "
                                        "master key 6 or 9)";
    QTest::newRow("bit8UnusedInBasic") << "00148140"
                                       << "not a T5557-family configuration (bits 00000100 are "
                                          "unused)";
    QTest::newRow("bit1UnusedInBasic") << "00148042"
                                       << "not a T5557-family configuration (bits 00000002 are "
                                          "unused)";
    QTest::newRow("bit27UnusedInBasic") << "08148040"
                                        << "not a T5557-family configuration (bits 08000000 are "
                                           "unused)";
    QTest::newRow("bit24UnusedInExtended") << "61020000"
                                           << "not a T5557-family configuration (bits 01000000 "
                                              "are unused)";
    QTest::newRow("notHex") << "0014804G"
                            << "not eight hexadecimal digits";
}

void TestBox::configDecode()
{
    QFETCH(QString, word);
    QTEST(TagConfig::describe(word), "text");
}

void TestBox::syntaxErrors_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("probe") << QByteArray("AT") << QByteArray("ErrCode:02");
    QTest::newRow("unknown") << QByteArray("XYZ") << QByteArray("ErrCode:02");
    QTest::newRow("lowerCase") << QByteArray("rux") << QByteArray("ErrCode:02");
    QTest::newRow("settingWithOperand") << QByteArray("RUX1") << QByteArray("ErrCode:01");
    QTest::newRow("shortRead") << QByteArray("RB") << QByteArray("ErrCode:01");
    QTest::newRow("blockEight") << QByteArray("RB8") << QByteArray("ErrCode:01");
    QTest::newRow("shortWrite") << QByteArray("WB0001480") << QByteArray("ErrCode:01");
    QTest::newRow("nonHexWrite") << QByteArray("WB10000000G") << QByteArray("ErrCode:01");
    QTest::newRow("hexInDecimalUid") << QByteArray("WUD00000000AB") << QByteArray("ErrCode:01");
    QTest::newRow("shortArePassword") << QByteArray("ARE1234") << QByteArray("ErrCode:01");
    QTest::newRow("longPasswordWrite")
        << QByteArray("WP0000000000014804000") << QByteArray("ErrCode:01");
}

void TestBox::syntaxErrors()
{
    QFETCH(QByteArray, command);
    BoxEngine box;
    box.present(T5557::tagWithId(1));
    QTEST(box.command(command)->text, "reply");
    QVERIFY(!box.command(QByteArray()).has_value());
}

void TestBox::settingsCommandsChangeState()
{
    BoxEngine box;
    for (const char *c : {"RUD", "SBD", "SB1", "SM1A1B2C3D4E5", "ARE0BADF00D"})
        QCOMPARE(box.command(c)->text, QByteArray("MsgCode:01"));
    QVERIFY(!box.reportHex);
    QVERIFY(!box.buzzerOnRead);
    QCOMPARE(box.buzzes, 1);
    QCOMPARE(box.relayMode, 1);
    QCOMPARE(box.exclusiveId, QByteArray("A1B2C3D4E5"));
    QVERIFY(box.aorReadMode);
    QCOMPARE(box.aorReadPassword, quint32(0x0BADF00D));
    for (const char *c : {"RUX", "SBA", "SM0", "ARD"})
        QCOMPARE(box.command(c)->text, QByteArray("MsgCode:01"));
    QVERIFY(box.reportHex && box.buzzerOnRead && !box.aorReadMode);
    QCOMPARE(box.relayMode, 0);
    QCOMPARE(box.command("SB1")->delayMs, box.delays.settings);
}

void TestBox::statusReports_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("noTag") << 0 << true << QByteArray("MsgCode:02");
    QTest::newRow("blank") << 1 << true << QByteArray("MsgCode:03");
    QTest::newRow("configuredNoFrame") << 2 << true << QByteArray("MsgCode:04");
    QTest::newRow("idHex") << 3 << true << QByteArray("1122334455");
    QTest::newRow("bigIdDecimal") << 3 << false << QByteArray("ErrCode:06");
    QTest::newRow("smallIdDecimal") << 4 << false << QByteArray("0000123456");
    QTest::newRow("protectedStillReports") << 5 << true << QByteArray("1122334455");
}

void TestBox::statusReports()
{
    QFETCH(int, kind);
    QFETCH(bool, hex);
    BoxEngine box;
    box.reportHex = hex;
    const Tag tags[] = {Tag{},
                        T5557::blankTag(),
                        T5557::configuredTag(),
                        T5557::tagWithId(0x1122334455),
                        T5557::tagWithId(123456),
                        T5557::protectedTag(0x12345678, 0x1122334455, false)};
    if (kind > 0)
        box.present(tags[kind]);
    QTEST(box.command("GTS")->text, "reply");
}

void TestBox::blockReadsAndWrites()
{
    BoxEngine box;
    QCOMPARE(box.command("RB3")->text, QByteArray("ErrCode:03"));
    QCOMPARE(box.command("WB312345678")->text, QByteArray("ErrCode:03"));
    box.present(T5557::tagWithId(0x1122334455));
    QCOMPARE(box.command("RB1")->text, QByteArray("R1FF8C6529"));
    QCOMPARE(box.command("RB1")->delayMs, box.delays.read);
    QVERIFY(!box.tagWritten());
    const auto write = box.command("WB3CAFEBABE");
    QCOMPARE(write->text, QByteArray("W3CAFEBABE"));
    QCOMPARE(write->delayMs, box.delays.write);
    QVERIFY(box.tagWritten());
    QCOMPARE(box.command("RB3")->text, QByteArray("R3CAFEBABE"));
    box.lockBlock(4);
    QCOMPARE(box.command("WB400000001")->text, QByteArray("ErrCode:07"));
    QCOMPARE(box.tag().blocks[4], quint32(0));
    // Setting PWD without the password: the box reads back a shifted word.
    QCOMPARE(box.command("WB000148050")->text, QByteArray("W000014805"));
    QCOMPARE(box.command("RB3")->text, QByteArray("ErrCode:04"));
    QCOMPARE(box.command("WB312345678")->text, QByteArray("ErrCode:04"));
}

void TestBox::passwordProtection()
{
    BoxEngine box;
    box.present(T5557::protectedTag(0x12345678, 0x1122334455, false));
    QCOMPARE(box.command("RP711111111")->text, QByteArray("ErrCode:05"));
    QCOMPARE(box.command("RP712345678")->text, QByteArray("R712345678"));
    QCOMPARE(box.command("WP3111111110000FFFF")->text, QByteArray("ErrCode:05"));
    QCOMPARE(box.tag().blocks[3], quint32(0));
    QCOMPARE(box.command("WP3123456780000FFFF")->text, QByteArray("W30000FFFF"));
    // The unlock: block 0 back to the standard word with the password.
    QCOMPARE(box.command("WP01234567800148040")->text, QByteArray("W000148040"));
    QVERIFY(!box.tag().pwd());
    QCOMPARE(box.command("RB3")->text, QByteArray("R30000FFFF"));
    // A password write to an unprotected tag is ignored and reports the block unchanged.
    QCOMPARE(box.command("WP3123456780000AAAA")->text, QByteArray("W30000FFFF"));
    QCOMPARE(box.command("RP300000000")->text, QByteArray("R30000FFFF"));
}

void TestBox::aorLockedTagIsSilentUntilWoken()
{
    BoxEngine box;
    QVERIFY(box.present(T5557::protectedTag(0x0BADF00D, 0x1122334455, true)).isEmpty());
    QCOMPARE(box.command("GTS")->text, QByteArray("MsgCode:02"));
    QCOMPARE(box.command("RB1")->text, QByteArray("ErrCode:03"));
    QCOMPARE(box.command("WUX0000000001")->text, QByteArray("ErrCode:03"));
    box.command("ARE00000001");
    QCOMPARE(box.command("GTS")->text, QByteArray("MsgCode:02"));
    box.command("ARE0BADF00D");
    QCOMPARE(box.command("GTS")->text, QByteArray("1122334455"));
    QCOMPARE(box.command("RP10BADF00D")->text, QByteArray("R1FF8C6529"));

    // Locking with AOR through a plain write: the tag falls silent at once.
    BoxEngine other;
    other.present(T5557::tagWithId(7));
    QCOMPARE(other.command("WB000148250")->text, QByteArray("ErrCode:03"));
    QVERIFY(other.tag().aor());
}

void TestBox::uidWrites()
{
    BoxEngine box;
    QCOMPARE(box.command("WUX0000000001")->text, QByteArray("ErrCode:03"));
    box.present(T5557::blankTag());
    const auto hex = box.command("WUX00AB123456");
    QCOMPARE(hex->text, QByteArray("00AB123456"));
    QCOMPARE(hex->delayMs, box.delays.uid);
    QCOMPARE(box.tag().blocks[0], T5557::kEm4100Emulation);
    QCOMPARE(box.tag().id(), std::optional<quint64>(0x00AB123456));
    box.command("RUD");
    QCOMPARE(box.command("WUD4294967296")->text, QByteArray("ErrCode:06"));
    QCOMPARE(box.command("WUD4294967295")->text, QByteArray("4294967295"));
    QCOMPARE(box.command("WUD9999999999")->text, QByteArray("ErrCode:06"));
    QCOMPARE(box.command("WUD0000123456")->text, QByteArray("0000123456"));
    QCOMPARE(box.command("WUXFFFFFFFFFF")->text, QByteArray("ErrCode:06"));
    QCOMPARE(box.tag().id(), std::optional<quint64>(0xFFFFFFFFFF));
    box.present(T5557::protectedTag(1, 2, false));
    QCOMPARE(box.command("WUX0000000001")->text, QByteArray("ErrCode:04"));
}

void TestBox::arrivalAndDeparture()
{
    BoxEngine box;
    QCOMPARE(box.present(T5557::blankTag()), QByteArray("MsgCode:03"));
    QCOMPARE(box.present(T5557::configuredTag()), QByteArray("MsgCode:04"));
    QCOMPARE(box.present(T5557::tagWithId(0x1122334455)), QByteArray("1122334455"));
    QCOMPARE(box.remove(), QByteArray("MsgCode:05"));
    QCOMPARE(box.remove(), QByteArray());
    QVERIFY(!box.hasTag());
}

void TestBox::replyBytesAndPacingThroughRealPort()
{
    BoxOnPort b;
    QVERIFY(b.open());
    b.box.present(T5557::tagWithId(0x1122334455));
    QTRY_COMPARE(b.got, QByteArray("1122334455\r\n"));
    b.forget();
    const qint64 sentAt = b.clock.nsecsElapsed();
    b.port.write("RB1\r\n");
    QTRY_COMPARE(b.got, QByteArray("R1FF8C6529\r\n"));
    const double spanMs = double(b.arrivalsNs.last() - b.arrivalsNs.first()) / 1e6;
    // Twelve characters at 9600 baud take 11 character times after the first.
    QVERIFY2(spanMs >= 10.0, qPrintable(QString::number(spanMs)));
    const double firstMs = double(b.arrivalsNs.first() - sentAt) / 1e6;
    QVERIFY2(firstMs >= b.box.engine().delays.read, qPrintable(QString::number(firstMs)));
}

void TestBox::faultsShapeTheNextReply()
{
    BoxOnPort b;
    QVERIFY(b.open());
    QCOMPARE(b.box.execute(QStringLiteral("drop")), QString());
    b.port.write("SB1\r\n");
    b.port.write("SBA\r\n");
    QTRY_COMPARE(b.got, QByteArray("MsgCode:01\r\n"));

    b.forget();
    b.box.execute(QStringLiteral("split"));
    b.port.write("SB1\r\n");
    QTRY_COMPARE(b.got, QByteArray("MsgCode:01\r\n"));
    const double gapMs = double(b.arrivalsNs[5] - b.arrivalsNs[4]) / 1e6;
    QVERIFY2(gapMs >= 25, qPrintable(QString::number(gapMs)));

    b.forget();
    b.box.execute(QStringLiteral("stream on"));
    QTRY_VERIFY(b.got.size() > 200);
    b.box.execute(QStringLiteral("stream off"));

    QVERIFY(b.box.execute(QStringLiteral("fly")).startsWith(QStringLiteral("unknown command")));
    QVERIFY(!b.box.execute(QStringLiteral("present id 12")).isEmpty());
    b.box.execute(QStringLiteral("vanish"));
    QVERIFY(!QFile::exists(b.box.portPath()));
    QCOMPARE(b.box.execute(QStringLiteral("appear")), QString());
    QVERIFY(QFile::exists(b.box.portPath()));
}

void TestBox::conveyorSwapsWrittenTagOnBuzzer()
{
    BoxOnPort b;
    QVERIFY(b.open());
    b.box.setConveyor(true, 20);
    QTRY_COMPARE(b.got, QByteArray("MsgCode:03\r\n"));
    // An untouched tag stays when the buzzer sounds (the connect sequence sounds it too).
    b.port.write("SB1\r\n");
    QTRY_COMPARE(b.got, QByteArray("MsgCode:03\r\nMsgCode:01\r\n"));
    QVERIFY(!QTest::qWaitFor([&] { return b.got.contains("MsgCode:05"); }, 150));
    b.forget();
    b.port.write("WUX0000000007\r\n");
    b.port.write("SB1\r\n");
    QTRY_COMPARE(b.got, QByteArray("0000000007\r\nMsgCode:01\r\nMsgCode:05\r\nMsgCode:03\r\n"));
    QCOMPARE(b.box.departed().size(), 1);
    QCOMPARE(b.box.departed()[0].id(), std::optional<quint64>(7));
}

void TestBox::executableServesItsPort()
{
    QTemporaryDir dir;
    QProcess process;
    process.setProgram(QStringLiteral(KESTREL_BOX_PATH));
    process.setArguments(
        {QStringLiteral("--ports-dir"), dir.path(), QStringLiteral("--port"), QStringLiteral("2")});
    process.start();
    QVERIFY(process.waitForStarted());
    const QString path = dir.filePath(QStringLiteral("COM2"));
    QTRY_VERIFY(QFile::exists(path));
    SerialTransport port;
    QString error;
    QVERIFY2(port.open(path, &error), qPrintable(error));
    QByteArray got;
    connect(&port, &Transport::received, this, [&] { got += port.readAll(); });
    process.write("present id 00DEADBEEF\n");
    QTRY_COMPARE(got, QByteArray("00DEADBEEF\r\n"));
    port.write("GTS\r\n");
    QTRY_COMPARE(got, QByteArray("00DEADBEEF\r\n00DEADBEEF\r\n"));
    process.write("remove\n");
    QTRY_COMPARE(got, QByteArray("00DEADBEEF\r\n00DEADBEEF\r\nMsgCode:05\r\n"));
    port.close();
    process.terminate();
    QVERIFY(process.waitForFinished(3000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!QFile::exists(path));
    QVERIFY(process.readAllStandardOutput().contains("<- GTS"));
}

KESTREL_TEST_MAIN(TestBox)
// A capture's escapes read back to the bytes; a file that is not a capture is named as such.
void TestBox::replayReadsOnlyCaptures_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("problem");
    const QByteArray wire("\\\x01\xFFR7AB\r\n", 9);
    QTest::newRow("capture") << "# kestrel-rfid traffic capture 1\n1.000001 ! open /dev/x\n"
                                "1.500000 > "
                                    + TrafficFormat::escaped(wire) + "\n2.000000 < "
                                    + TrafficFormat::escaped(
                                        TrafficFormat::masked("R71234ABCD\r\n", false))
                                    + "\n"
                             << QString();
    QTest::newRow("cut off mid-line by a full disk")
        << "1.500000 > " + TrafficFormat::escaped(wire) + "\n2.000000 < R7********\\r\\n\n2.0100"
        << QString();
    QTest::newRow("csv") << QByteArray("tag,uid\n1,2\n") << "line 1 is not a line";
    QTest::newRow("bad escape") << QByteArray("1.000000 > RB1\\q\n") << "line 1 holds an escape";
    QTest::newRow("no direction") << QByteArray("1.000000 ? RB1\n") << "line 1 has no direction";
    // Found by fuzzing: seconds that overflow as microseconds, and signed times.
    QTest::newRow("time too large")
        << QByteArray("9999999999999999.000000 > RB1\n") << "line 1 is not a line";
    QTest::newRow("signed time") << QByteArray("1.000000 > RB1\n-2.000000 < R1\n")
                                 << "line 2 is not a line";
    QTest::newRow("empty") << QByteArray("# kestrel-rfid traffic capture 1\n") << "no traffic";
}

void TestBox::replayReadsOnlyCaptures()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, problem);
    QString error;
    const auto steps = BoxReplay::parse(file, &error);
    QVERIFY2(steps.has_value() == problem.isEmpty(), qPrintable(error));
    if (!steps) {
        QVERIFY2(error.startsWith(problem) || error.contains(problem), qPrintable(error));
        return;
    }
    QCOMPARE(steps->size(), 2);
    QCOMPARE(steps->at(1).command, QByteArray("\\\x01\xFFR7AB", 7));
    QCOMPARE(steps->at(1).replies.size(), 1);
    QCOMPARE(steps->at(1).replies[0].afterUs, 500000);
    QCOMPARE(steps->at(1).replies[0].bytes, QByteArray("R7********\r\n"));
}

#include "tst_box.moc"
