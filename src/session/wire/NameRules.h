#pragma once

#include <QString>
#include <QStringView>

namespace session {

// Room and handle names are capped in characters (UTF-16 units) on the wire.
inline constexpr int kMaxNameChars = 255;

// True when `text` holds a character that would change how the text around it is
// shown: a control or format character (bidi overrides and embeddings, zero-width
// joiners and spaces, the byte-order mark) or a line or paragraph separator.
bool hasUnsafeCharacter(QStringView text);
// One such character.
bool isUnsafeCharacter(char32_t c);

// A handle name a room accepts: not empty, within the name limit, no unsafe
// character, no blank (of any width) at either end or two in a row, and never ">"
// before a blank, in any width ("Alice＞\u3000..."), which would let the name pose as
// the start of a message line ("Alice> hi").
bool isAllowedHandleName(QStringView name);

// What two handle names are compared by: names with the same key look alike
// (full-width letters, other scripts' look-alike letters, accents) and cannot be in
// one room together. The key is the name's confusable skeleton (Unicode's security
// mechanisms, after compatibility normalisation) without combining marks.
QString handleNameKey(QStringView name);

} // namespace session
