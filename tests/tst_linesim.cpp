#include "linesim.h"
#include "testmain.h"

// The production loop on a simulated line: random tags, pulls, returns and faults, checked
// against the tags' memory, and the orderings that once broke it, kept as scripts.
class TestLineSim : public QObject {
    Q_OBJECT
private slots:
    void randomLinesKeepThePromises_data();
    void randomLinesKeepThePromises();
    void scriptFromEnvironment();

private:
    QTemporaryDir m_dir;
};

void TestLineSim::randomLinesKeepThePromises_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<double>("faultRate");
    // 20 lines of 1,000 tags: half healthy, half with a fault on one answer in twenty.
    for (quint64 seed = 1; seed <= 10; ++seed) {
        QTest::addRow("healthy-%llu", seed) << seed << 0.0;
        QTest::addRow("faults-%llu", seed) << seed + 1000 << 0.05;
    }
}

void TestLineSim::randomLinesKeepThePromises()
{
    QFETCH(quint64, seed);
    QFETCH(double, faultRate);
    LineSim::Config c;
    c.seed = seed;
    c.faultRate = faultRate;
    c.tags = 1000;
    c.recordPath = m_dir.filePath(QStringLiteral("line.sqlite"));
    const LineSim::Result r = LineSim::run(c);
    if (!r.violation.isEmpty()) {
        const QStringList shortest = LineSim::shrink(r.script, c.recordPath);
        const LineSim::Result again = LineSim::replay(shortest, c.recordPath);
        QFAIL(qPrintable(QStringLiteral("seed %1: %2\nshortest script that still fails (%3):\n%4")
                             .arg(seed)
                             .arg(r.violation, again.violation, shortest.join(u'\n'))));
    }
    QStringList counts;
    for (auto it = r.outcomes.cbegin(); it != r.outcomes.cend(); ++it)
        counts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    qInfo("%d tags in %.0f simulated minutes: %s", r.tags, double(r.simulatedMs) / 60000.0,
          qPrintable(counts.join(QStringLiteral(", "))));
    QCOMPARE(r.tags, c.tags);
    QVERIFY(r.outcomes.value(QStringLiteral("complete")) > 0);
    // A line's script is the line: what shrinking and a kept row rely on.
    if (seed == 1001) {
        const LineSim::Result again = LineSim::replay(r.script, c.recordPath);
        QCOMPARE(again.outcomes, r.outcomes);
        QCOMPARE(again.simulatedMs, r.simulatedMs);
    }
}

// LINESIM_SCRIPT=file replays a script and shrinks it if it fails (with LINESIM_TRACE=1,
// event by event; with LINESIM_RECORD=file the record is kept there to look at).
void TestLineSim::scriptFromEnvironment()
{
    const QString path = qEnvironmentVariable("LINESIM_SCRIPT");
    if (path.isEmpty())
        QSKIP("LINESIM_SCRIPT names no script");
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList script = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
    const QString record
        = qEnvironmentVariable("LINESIM_RECORD", m_dir.filePath(QStringLiteral("s.sqlite")));
    const LineSim::Result r = LineSim::replay(script, record);
    if (!r.violation.isEmpty())
        QFAIL(qPrintable(QStringLiteral("%1\nshortest script that still fails:\n%2")
                             .arg(r.violation, LineSim::shrink(script, record).join(u'\n'))));
}

KESTREL_TEST_MAIN(TestLineSim)
#include "tst_linesim.moc"
