#pragma once

#include "t5557.h"

#include <QByteArray>
#include <optional>

// The Kestrel box's command protocol over one tag in its field, without any port or
// timing: a command line goes in, a ten-character reply and its processing time come out.
class BoxEngine {
public:
    struct Delays {
        int settings = 5;
        int read = 30;
        int write = 40;
        int uid = 120;
    };

    struct Reply {
        QByteArray text;
        int delayMs = 0;
    };

    // Handles one command line (without its line end). Empty lines get no reply.
    std::optional<Reply> command(const QByteArray &line);

    // Unsolicited report when a tag enters the field; empty when the tag stays silent.
    QByteArray present(const T5557::Tag &tag);
    // Unsolicited report when the tag leaves; empty when there was none.
    QByteArray remove();

    // Sets the lock bit of a block of the tag in the field.
    void lockBlock(int n);

    bool hasTag() const { return m_tag.has_value(); }
    const T5557::Tag &tag() const { return *m_tag; }
    // True once a write changed the tag now in the field.
    bool tagWritten() const { return m_written; }
    // A command went to the tag in the field (it wrote, or was refused by, the tag).
    bool tagAddressed() const { return m_written || m_addressed; }

    Delays delays;
    bool reportHex = true;
    bool buzzerOnRead = true;
    int relayMode = 0;
    QByteArray exclusiveId = "0000000000";
    bool aorReadMode = false;
    quint32 aorReadPassword = 0;
    int buzzes = 0;
    // Tags of a bad reel: each data-block write takes only at its second try (the first reads
    // back the old value). For the tags put into the field from now on.
    bool weakTags = false;

private:
    QByteArray status() const;
    QByteArray identifier(quint64 id) const;
    bool answersWithoutPassword() const;
    Reply settings(const QByteArray &mnemonic, const QByteArray &operand);
    Reply readBlock(int n, std::optional<quint32> password);
    Reply writeBlock(int n, quint32 data, std::optional<quint32> password);
    Reply writeUid(bool hex, const QByteArray &operand);

    std::optional<T5557::Tag> m_tag;
    bool m_written = false;
    bool m_addressed = false;
    bool m_weak = false;
    // Blocks of a weak tag tried once already, a bit each.
    quint8 m_tried = 0;
};
