#include "session/wire/NameRules.h"

#include <QChar>

namespace session {

bool hasUnsafeCharacter(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t code = text.at(i).unicode();
        if (QChar::isHighSurrogate(code) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        switch (QChar::category(code)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            break;
        }
    }
    return false;
}

bool isAllowedHandleName(QStringView name) {
    return !name.isEmpty() && name.size() <= kMaxNameChars && !hasUnsafeCharacter(name) && !name.contains(u"> ");
}

} // namespace session
