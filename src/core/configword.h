#pragma once

#include <QString>

// The configuration word in block 0 as the window edits it: as text, keeping a leading
// part and appending fixed digits (digit 6 holds the AOR bit, digit 7 the PWD bit).
namespace ConfigWord {

inline const QString kStandard = QStringLiteral("00148040");
inline const QString kWithPwd = QStringLiteral("00148050");
inline const QString kWithPwdAor = QStringLiteral("00148250");
inline const QString kDefault = QStringLiteral("00010000");
// RF/32, Manchester, MaxBlock 2, unprotected: a T5577 as its maker delivers it, and the word a
// wipe leaves.
inline const QString kBlank = QStringLiteral("00088040");

// The PWD box's rule on the word: the default word becomes the standard one first.
QString withPwd(const QString &word, bool pwd);
QString withAor(const QString &word, bool aor);
// AOR and PWD cleared, as the unlock writes it.
QString unlocked(const QString &word);
// The word re-marked after the box reported the tag gone, from the two boxes' states.
QString afterNoPresent(const QString &word, bool pwd, bool aor);

} // namespace ConfigWord
