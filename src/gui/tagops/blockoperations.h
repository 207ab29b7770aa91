#pragma once

#include "core/sessionstate.h"

#include <QObject>

class BlockPanel;
class MaskedField;
class Protection;
class ReaderLink;

// The Read and Write buttons of the eight blocks: plain commands, or their password forms
// with the password from block 7 while PWD is checked.
class BlockOperations : public QObject {
    Q_OBJECT
public:
    BlockOperations(BlockPanel &blocks, Protection &protection, ReaderLink &link,
                    SessionState &state, MaskedField &aorPassword, QObject *parent = nullptr);

    void read(int n);
    void write(int n);

    // "WB" + block + value, or with a password "WP" + block + password + value.

private:
    BlockPanel &m_blocks;
    Protection &m_protection;
    ReaderLink &m_link;
    SessionState &m_state;
};
