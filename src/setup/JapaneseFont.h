#pragma once

#include <QFont>
#include <QString>

namespace setup {

// The gothic face the windows are drawn in: "ＭＳ Ｐゴシック" where it is installed,
// otherwise the first installed Japanese gothic face we know, otherwise the
// application's default face.
QString japaneseGothicFamily();

// That face at `pointSize` (9 points is the windows' standard size).
QFont japaneseUiFont(int pointSize = 9, bool bold = false);

} // namespace setup
