#pragma once

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <unistd.h>

// A throw-away PostgreSQL server for one test: its own cluster in a temporary folder, a Unix
// socket in that folder and no TCP. initdb refuses to run as root, so under root the server
// runs as "nobody" in a folder that user owns.
class PgServer {
public:
    static constexpr const char *kAdmin = "kestrel_admin";

    // The folder of initdb and pg_ctl, or nothing when the server is not installed.
    static QString binDir()
    {
        const QDir lib(QStringLiteral("/usr/lib/postgresql"));
        QStringList versions = lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(),
                  [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
        for (const QString &v : versions) {
            const QString bin = lib.filePath(v + QStringLiteral("/bin"));
            if (QFile::exists(bin + QStringLiteral("/initdb")))
                return bin;
        }
        return {};
    }

    ~PgServer()
    {
        if (m_frozen)
            freeze(false);
        stop();
    }

    // Freezes the server and every backend (SIGSTOP), as a hung host would; false thaws it.
    bool freeze(bool on)
    {
        QFile pidFile(dataDir() + QStringLiteral("/postmaster.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return false;
        const qint64 master = pidFile.readLine().trimmed().toLongLong();
        if (master <= 0)
            return false;
        QList<qint64> pids{master};
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // "pid (name) state ppid ...": the name may hold spaces, so read after its ')'.
            const QByteArray text = stat.readAll();
            const QList<QByteArray> after = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (after.size() > 1 && after[1].toLongLong() == master)
                pids << entry.toLongLong();
        }
        for (qint64 pid : pids)
            ::kill(pid_t(pid), on ? SIGSTOP : SIGCONT);
        m_frozen = on;
        return true;
    }

    // Creates the cluster and starts it; says why not in *error.
    bool start(QString *error)
    {
        if (!m_dir.isValid()) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        if (::geteuid() == 0) {
            QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner
                                                    | QFile::ExeOwner | QFile::ExeOther
                                                    | QFile::ReadOther);
            if (!run({"chown", "nobody:nogroup", m_dir.path()}, error))
                return false;
        }
        if (!runAsOwner({binDir() + "/initdb", "-D", dataDir(), "-U", kAdmin, "--auth=trust",
                         "--no-sync", "-E", "UTF8", "--locale=C"},
                        error))
            return false;
        return resume(error) && createDatabase(error);
    }

    // Starts the stopped server again, on the same folder and socket.
    bool resume(QString *error)
    {
        m_stopping.waitForFinished(60000);
        return runAsOwner(
            {binDir() + "/pg_ctl", "-D", dataDir(), "-l",
             m_dir.filePath(QStringLiteral("server.log")), "-w", "-o",
             QStringLiteral("-k %1 -c listen_addresses='' -c fsync=off").arg(m_dir.path()),
             "start"},
            error);
    }

    // Asks the server to stop and returns at once: a test that waited here would hold up the
    // window's event loop, and the box's replies would pile up unread.
    void beginStop()
    {
        QStringList command{binDir() + "/pg_ctl", "-D", dataDir(), "-w", "-m", "fast", "stop"};
        if (::geteuid() == 0)
            command = QStringList{"runuser", "-u", "nobody", "--"} + command;
        m_stopping.start(command.first(), command.mid(1));
        m_running = false;
    }

    void stop()
    {
        m_stopping.waitForFinished(60000);
        if (!m_running)
            return;
        QString ignored;
        runAsOwner({binDir() + "/pg_ctl", "-D", dataDir(), "-w", "-m", "fast", "stop"}, &ignored);
        m_running = false;
    }

    // postgresql:///kestrel?host=<socket folder>&user=<user>
    QString uri(const QString &user) const
    {
        return QStringLiteral("postgresql:///kestrel?host=%1&user=%2").arg(m_dir.path(), user);
    }

    // Runs SQL (or a file of it with file = true) through psql as the given user. With spin,
    // the test's event loop runs meanwhile: a window and a box in the test process go on
    // talking, as they would while another program changes the server.
    bool psql(const QString &user, const QString &sqlOrFile, bool file, QString *output,
              bool spin = false)
    {
        QProcess p;
        p.start(QStringLiteral("psql"),
                {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", m_dir.path(), "-U", user,
                 "-d", "kestrel", file ? "-f" : "-c", sqlOrFile});
        // The wait below says whether it ended.
        if (spin)
            (void)QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 30000);
        p.waitForFinished(30000);
        *output = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

private:
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    bool createDatabase(QString *error)
    {
        QProcess p;
        p.start(QStringLiteral("psql"), {"-X", "-q", "-h", m_dir.path(), "-U", kAdmin, "-d",
                                         "postgres", "-c", "CREATE DATABASE kestrel"});
        p.waitForFinished(30000);
        if (p.exitCode() == 0)
            return true;
        *error = QString::fromLocal8Bit(p.readAllStandardError());
        return false;
    }

    bool runAsOwner(QStringList command, QString *error)
    {
        if (::geteuid() == 0)
            command = QStringList{"runuser", "-u", "nobody", "--"} + command;
        const bool ok = run(command, error);
        if (ok && command.contains(QStringLiteral("start")))
            m_running = true;
        return ok;
    }

    static bool run(const QStringList &command, QString *error)
    {
        QProcess p;
        p.setWorkingDirectory(QDir::tempPath());
        p.start(command.first(), command.mid(1));
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit
            || p.exitCode() != 0) {
            *error = command.join(u' ') + QStringLiteral(": ")
                     + QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput());
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    QProcess m_stopping;
    bool m_running = false;
    bool m_frozen = false;
};
