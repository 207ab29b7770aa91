#pragma once

#include <QObject>

class AutoPanel;
class BlockPanel;
class Emphasis;

// The reactions of the auto-write option boxes: what they enable, preset and focus.
class AutoOptions : public QObject {
    Q_OBJECT
public:
    AutoOptions(AutoPanel &panel, BlockPanel &blocks, Emphasis &emphasis,
                QObject *parent = nullptr);

private:
    void onSetUid(bool checked);
    void onAutoInc(bool checked);
    void onAutoUnlock(bool checked);
    void onWriteBlocks(bool checked);
    void onWritePassword(bool checked);
    void focusAutoButton(bool makeDefault);

    AutoPanel &m_panel;
    BlockPanel &m_blocks;
    Emphasis &m_emphasis;
};
