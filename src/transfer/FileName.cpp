#include "transfer/FileName.h"

#include "session/wire/NameRules.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace transfer {

namespace {

constexpr qsizetype kMaxNameBytes = 200;
// An extension longer than this is no extension worth keeping whole.
constexpr qsizetype kMaxKeptExtensionBytes = 40;

QString fallbackName() {
    return QStringLiteral("ファイル");
}

// Windows opens the device, not a file, for these names with any extension.
bool isDeviceName(const QString& name) {
    static const QRegularExpression device(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

// Cuts `text` to at most `bytes` UTF-8 bytes, never inside a surrogate pair.
QString cutToBytes(const QString& text, qsizetype bytes) {
    QString out;
    qsizetype used = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype units = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        const QString piece = text.mid(i, units);
        const qsizetype size = piece.toUtf8().size();
        if (used + size > bytes)
            break;
        out += piece;
        used += size;
        i += units - 1;
    }
    return out;
}

QString trimmed(QString name) {
    name = name.trimmed();
    while (name.endsWith(u'.') || name.endsWith(u' '))
        name.chop(1);
    return name;
}

} // namespace

QString safeFileName(const QString& offered) {
    QString name = offered;
    const qsizetype cut = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
    if (cut >= 0)
        name = name.mid(cut + 1);

    QString clean;
    for (const char32_t c : name.toUcs4()) {
        if (session::isUnsafeCharacter(c)) // as handle names may not hold them
            continue;
        if (c < 0x80 && QStringLiteral("<>:\"|?*").contains(QChar(c)))
            clean += u'_';
        else
            clean += QString::fromUcs4(&c, 1);
    }
    name = trimmed(clean);
    if (name.isEmpty() || name == u"." || name == u"..")
        return fallbackName();
    if (isDeviceName(name))
        name.prepend(u'_');

    if (name.toUtf8().size() > kMaxNameBytes) {
        const qsizetype dot = name.lastIndexOf(u'.');
        QString extension = dot > 0 ? name.mid(dot) : QString();
        if (extension.toUtf8().size() > kMaxKeptExtensionBytes)
            extension.clear();
        const QString stem = extension.isEmpty() ? name : name.left(dot);
        name = trimmed(cutToBytes(stem, kMaxNameBytes - extension.toUtf8().size())) + extension;
        if (name.isEmpty() || name.startsWith(u'.'))
            name = fallbackName() + extension;
    }
    return name;
}

QString freeFileName(const QDir& dir, const QString& name) {
    if (!QFileInfo::exists(dir.filePath(name)))
        return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString candidate = stem + QStringLiteral(" (%1)").arg(n) + extension;
        if (!QFileInfo::exists(dir.filePath(candidate)))
            return candidate;
    }
}

QString defaultDownloadFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() : folder;
}

} // namespace transfer
