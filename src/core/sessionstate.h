#pragma once

#include <QString>

// Window-level state shared by the link, the reply interpreter and the auto-write loop.
// Owned by the main window and handed by reference to the parts that read or write it.
struct SessionState {
    bool PortConnected = false;
    bool QuietStart = false;
    bool AutoWriteRunning = false;
    bool UnlockPending = false;
    int LastReadBlock = 0;

    int AutoStep = 0;
    bool TagHandled = false;
    QString ExpectedUID;
    bool SuppressSuccessText = false;
    bool UidWriteConfirmed = false;
    int UidRetryCount = 0;
    QString LastUID;
};
