#include "setup/JapaneseFont.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace setup {

QString japaneseGothicFamily() {
    static const QString chosen = [] {
        const QStringList preferred = {u"ＭＳ Ｐゴシック"_s,  u"MS PGothic"_s,   u"IPAPGothic"_s, u"IPAGothic"_s,
                                       u"Noto Sans CJK JP"_s, u"Noto Sans JP"_s, u"VL PGothic"_s, u"Takao PGothic"_s};
        const QStringList installed = QFontDatabase::families();
        for (const QString& family : preferred) {
            if (installed.contains(family, Qt::CaseInsensitive)) {
                return family;
            }
        }
        return QGuiApplication::font().family();
    }();
    return chosen;
}

QFont japaneseUiFont(int pointSize, bool bold) {
    QFont font(japaneseGothicFamily());
    font.setPointSize(pointSize);
    font.setBold(bold);
    // Without a Japanese face some glyphs would still come from a fallback font;
    // prefer the chosen face for every script it covers.
    font.setStyleStrategy(QFont::PreferMatch);
    return font;
}

} // namespace setup
