#pragma once

#include <QObject>

class Dialogs;
class ReaderLink;
class ReaderSettingsPanel;

// The " Device Setting " buttons: each press sends exactly one command to the box.
class ReaderSettings : public QObject {
    Q_OBJECT
public:
    ReaderSettings(ReaderSettingsPanel &panel, ReaderLink &link, Dialogs &dialogs,
                   QObject *parent = nullptr);

    // The UID report format, as the RUX and RUD buttons set it.
    void reportHex();
    void reportDecimal();

private:
    void sendExclusiveId();

    ReaderSettingsPanel &m_panel;
    ReaderLink &m_link;
    Dialogs &m_dialogs;
};
