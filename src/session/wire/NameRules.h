#pragma once

#include <QStringView>

namespace session {

// Room and handle names are capped in characters (UTF-16 units) on the wire.
inline constexpr int kMaxNameChars = 255;

// True when `text` holds a character that would change how the text around it is
// shown: a control or format character (bidi overrides and embeddings, zero-width
// joiners and spaces, the byte-order mark) or a line or paragraph separator.
bool hasUnsafeCharacter(QStringView text);

// A handle name a room accepts: not empty, within the name limit, no unsafe
// character, and never "> ", which would let the name pose as the start of a
// message line ("Alice> hi").
bool isAllowedHandleName(QStringView name);

} // namespace session
