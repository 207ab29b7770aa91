#pragma once

// Window-level state shared by the link, the reply interpreter and the panels. Owned by the
// main window and handed by reference to the parts that read or write it. The production
// loop's own state has one owner, its engine (core/autoloop.h).
struct SessionState {
    bool PortConnected = false;
    bool QuietStart = false;
    bool UnlockPending = false;
    int LastReadBlock = 0;
};
