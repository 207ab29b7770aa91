#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// A customer's list of tag IDs for a run: a text or CSV file with one ID per line, ten
// hexadecimal or ten decimal digits as the job's base says. Read whole or refused: every bad
// line is named by its number, and one ID twice (in any spelling of it) is refused, so no ID
// can go onto two tags.
class UidList {
public:
    // Past this a file is not taken for a list (a year of a busy line is well below it).
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;
    // How many bad lines a refusal names; the rest are counted.
    static constexpr int kNamedLines = 10;

    struct Id {
        // Ten characters, as the box is sent them (hexadecimal in capitals).
        QString text;
        quint64 tagId = 0;
        int line = 0;
    };

    // column: 1 is the first field of a line; fields are separated by commas, semicolons or
    // tabs and may be quoted. A first line without a digit in that field is a heading.
    static std::optional<UidList> parse(const QByteArray &text, int column, bool hex,
                                        QString *error);
    static std::optional<UidList> load(const QString &file, int column, bool hex, QString *error);

    const QList<Id> &ids() const { return m_ids; }
    int count() const { return int(m_ids.size()); }
    bool hex() const { return m_hex; }
    // Where the tag ID stands in the list (0 is the first), if it is on it.
    std::optional<int> positionOf(quint64 tagId) const;
    // The ID after the one given; nothing at the list's end or for an ID not on it.
    std::optional<QString> after(const QString &uid) const;
    // Names the list by what it holds, whatever its file is called: stations that open the
    // same IDs share one list in the record.
    QString key() const { return m_key; }
    // The file's name, as the operator knows the list.
    QString name() const { return m_name; }
    // Where it was loaded from (an absolute path) and the column its IDs are in.
    QString file() const { return m_file; }
    int column() const { return m_column; }

private:
    QList<Id> m_ids;
    QHash<quint64, int> m_positions;
    QString m_key;
    QString m_name;
    QString m_file;
    int m_column = 1;
    bool m_hex = true;
};
