#pragma once

#include "ui/appsetup.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

// Runs a QtTest class headless with its own empty settings store and data folder.
#define KESTREL_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QTemporaryDir config;                                                                      \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                   \
        QTemporaryDir data;                                                                        \
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());                                       \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication app(argc, argv);                                                              \
        setUpApplication(app);                                                                     \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
