#pragma once

#include "core/sessionstate.h"

#include <QObject>
#include <functional>

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
    // Blocks 1 and 2 hold the tag's ID: their writes go to the ID guard, which sends them
    // (send()) once the record agrees.
    void write(int n);
    // "WB" + block + value, or with a password "WP" + block + password + value.
    void send(int n);
    void setIdGuard(std::function<void(int)> guard) { m_idGuard = std::move(guard); }

private:
    BlockPanel &m_blocks;
    Protection &m_protection;
    ReaderLink &m_link;
    SessionState &m_state;
    std::function<void(int)> m_idGuard;
};
