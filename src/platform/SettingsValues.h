#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <optional>

namespace platform {

// Conversions from the texts stored in the settings file to the values they stand
// for. Each returns nothing for a text that cannot be converted, so that the caller
// keeps the designed state of whatever the value would set.

// A decimal integer: optional sign, blanks (spaces, tabs) around it allowed, an
// optional fraction that rounds to the nearest whole number with halves going to the
// even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2), as files written for the classic
// converter expect. Nothing for an empty text, another form ("1e3", "&H10", "1,0") or
// a result outside the 32-bit signed range.
std::optional<int> toInteger(const QString& text);

// A check-box state as stored: 0 clear, 1 ticked, 2 greyed; nothing for others.
std::optional<int> toCheckState(const QString& text);

// The welcome-page setting: 0, 1 or 2 as stored; anything else counts as 0.
int toShowGreet(const QString& text);

// A colour: one to eight hexadecimal digits without prefix. 80000000 + n names system
// colour n (0 to 24, e.g. 5 window background, 8 window text, 15 button face), taken
// from the matching role of `palette`; otherwise the value is 00BBGGRR with red in
// the lowest byte. Nothing for a prefix ("&H"), another character, an unknown system
// colour, or bits in the top byte other than that system form.
std::optional<QColor> toColour(const QString& text, const QPalette& palette);

// A font size in whole points, 0 to 255 (a fraction rounds as in toInteger).
std::optional<int> toFontSize(const QString& text);

// Stored check states count 1 as ticked and 2 as greyed; Qt::CheckState has them the
// other way round (Qt::PartiallyChecked is 1, Qt::Checked is 2). These map between
// the two. A stored state outside 0..2 maps to Qt::Unchecked.
Qt::CheckState checkStateFromStored(int stored);
int storedFromCheckState(Qt::CheckState state);

} // namespace platform
