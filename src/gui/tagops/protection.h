#pragma once

#include "core/sessionstate.h"

#include <QObject>

class BlockPanel;
class Emphasis;
class ReaderLink;

// Protection of a tag through its configuration word: the PWD and AOR boxes compose the
// block 0 field (the operator confirms with the block 0 Write button), and the Lock, Hide,
// Unlock, Reset B0 and Standard buttons write fixed or composed words.
class Protection : public QObject {
    Q_OBJECT
public:
    Protection(BlockPanel &blocks, ReaderLink &link, SessionState &state, Emphasis &emphasis,
               QObject *parent = nullptr);

    // Both rules run on every real change of their box, whoever made it.
    void pwdRule();
    void aorRule();

    void unlock();
    void reset();
    void standard();

private:
    void emphasiseConfigWrite(bool focus);

    BlockPanel &m_blocks;
    ReaderLink &m_link;
    SessionState &m_state;
    Emphasis &m_emphasis;
};
