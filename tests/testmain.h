#pragma once

#include <QTemporaryDir>
#include <QtTest>

#if KESTREL_GUI
#include "gui/ui/appsetup.h"

#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
inline void setUpApplication(QCoreApplication &) {}
#endif

// Runs a QtTest class headless with its own empty settings store and data folder.
// The offscreen platform warns on every size-constraint change and raise of a shown window;
// the test log keeps only what matters.
inline QtMessageHandler g_testLogHandler = nullptr;
inline void quietTestLog(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String("This plugin does not support propagateSizeHints()")
        || text == QLatin1String("This plugin does not support raise()"))
        return;
    g_testLogHandler(type, context, text);
}

#define KESTREL_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QTemporaryDir config;                                                                      \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                   \
        QTemporaryDir data;                                                                        \
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());                                       \
        QTemporaryDir runtime;                                                                     \
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))                                        \
            qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());                              \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        TestApplication app(argc, argv);                                                           \
        setUpApplication(app);                                                                     \
        TestClass test;                                                                            \
        QTest::qInit(&test, argc, argv);                                                           \
        g_testLogHandler = qInstallMessageHandler(quietTestLog);                                   \
        const int failed = QTest::qRun();                                                          \
        QTest::qCleanup();                                                                         \
        return failed;                                                                             \
    }
