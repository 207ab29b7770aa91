#pragma once

#include <QApplication>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QtTest>

// The offscreen platform warns on every top-level resize; it says nothing about the tool.
inline void kestrelQuietMessages(QtMsgType type, const QMessageLogContext &context,
                                 const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    qt_message_output(type, context, message);
}

// Runs a QtTest class headless with its own empty settings store.
#define KESTREL_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QTemporaryDir config;                                                                      \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                   \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        qInstallMessageHandler(kestrelQuietMessages);                                              \
        QApplication app(argc, argv);                                                              \
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));                   \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
