#include "session/wire/ScriptSyntax.h"

namespace session::script {

bool startsWithCommand(QStringView text, QStringView lowerPrefix) {
    if (text.size() < lowerPrefix.size()) {
        return false;
    }
    for (qsizetype i = 0; i < lowerPrefix.size(); ++i) {
        char16_t c = text.at(i).unicode();
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + (u'a' - u'A'));
        }
        if (c != lowerPrefix.at(i).unicode()) {
            return false;
        }
    }
    return true;
}

qsizetype commandEnd(const QString& text, const QString& senderName) {
    if (!senderName.isEmpty()) {
        for (QStringView word : {kClear, kDel}) {
            if (startsWithCommand(text, word) && QStringView(text).mid(word.size()).startsWith(senderName) &&
                text.size() > word.size() + senderName.size() && text.at(word.size() + senderName.size()) == u';') {
                return word.size() + senderName.size();
            }
        }
    }
    return text.indexOf(u';');
}

} // namespace session::script
