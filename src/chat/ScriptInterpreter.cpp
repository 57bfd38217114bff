#include "chat/ScriptInterpreter.h"

#include "chat/ChatTexts.h"
#include "session/wire/ScriptSyntax.h"

#include <algorithm>
#include <cmath>

namespace chat {

namespace {

constexpr QStringView kPermissionYes = u"@permission=yes;";
constexpr QStringView kPermissionNo = u"@permission=no;";
using session::script::kClear;
using session::script::kDel;
constexpr QStringView kSysClear = u"@sysclear";
constexpr QStringView kSound = u"@s";

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// The full-width forms U+FF01 to U+FF5E of the printable ASCII characters.
constexpr char16_t kFirstFullWidth = u'\uFF01';
constexpr char16_t kLastFullWidth = u'\uFF5E';
constexpr char16_t kFullWidthOffset = kFirstFullWidth - u'!';

QChar narrowed(QChar c) {
    const char16_t u = c.unicode();
    return (u >= kFirstFullWidth && u <= kLastFullWidth) ? QChar(static_cast<char16_t>(u - kFullWidthOffset)) : c;
}

// Whether `command`, ASCII from "@" up to and including its ";", is one that the
// sender may have typed in full width.
bool isWidelyTypedCommand(QStringView command) {
    for (QStringView word : {u"@clear;", u"@del;", u"@sysclear;", u"@permission=yes;", u"@permission=no;"}) {
        if (command.size() == word.size() && ScriptInterpreter::startsWithCommand(command, word)) {
            return true;
        }
    }
    if (command.size() <= kSound.size() + 1 || !ScriptInterpreter::startsWithCommand(command, kSound)) {
        return false;
    }
    const QStringView number = command.mid(kSound.size()).chopped(1);
    return std::all_of(number.begin(), number.end(), isAsciiDigit);
}

} // namespace

QString ScriptInterpreter::withAsciiCommand(const QString& text) {
    if (text.isEmpty() || narrowed(text.front()) != u'@') {
        return text;
    }
    QString command;
    for (const QChar c : text) {
        command += narrowed(c);
        if (command.back() == u';') {
            break;
        }
    }
    if (!command.endsWith(u';') || command == QStringView(text).left(command.size()) ||
        !isWidelyTypedCommand(command)) {
        return text;
    }
    return command + QStringView(text).mid(command.size());
}

std::optional<QString> ScriptInterpreter::asciiDigits(QStringView text) {
    QString digits;
    for (const QChar c : text) {
        const QChar narrow = narrowed(c);
        if (!isAsciiDigit(narrow)) {
            return std::nullopt;
        }
        digits += narrow;
    }
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    return digits;
}

bool ScriptInterpreter::startsWithCommand(QStringView text, QStringView lowerPrefix) {
    return session::script::startsWithCommand(text, lowerPrefix);
}

ScriptInterpreter::Prepared ScriptInterpreter::PrepareCommand(const QString& text, const QString& ownName) {
    if (startsWithCommand(text, kPermissionYes)) {
        m_extScriptAllowed = true;
        return {text.mid(kPermissionYes.size()), texts::messageTagScriptsAllowed()};
    }
    if (startsWithCommand(text, kPermissionNo)) {
        m_extScriptAllowed = false;
        return {text.mid(kPermissionNo.size()), texts::messageTagScriptsRefused()};
    }
    // Only the exact short forms are rewritten; "@clearXY;" goes out as typed.
    if (startsWithCommand(text, u"@clear;")) {
        return {kClear.toString() + ownName + text.mid(kClear.size()), std::nullopt};
    }
    if (startsWithCommand(text, u"@del;")) {
        return {kDel.toString() + ownName + text.mid(kDel.size()), std::nullopt};
    }
    return {text, std::nullopt};
}

qsizetype ScriptInterpreter::commandEnd(const QString& text, const QString& senderName) const {
    return session::script::commandEnd(text, senderName);
}

QString ScriptInterpreter::RunScript(const QString& text, const QString& senderName) {
    m_soundScriptPlayed = false;
    if (!text.startsWith(u'@')) {
        return text;
    }
    const qsizetype end = commandEnd(text, senderName);
    if (end < 0) {
        return text;
    }
    const QString remainder = text.mid(end + 1);
    const QStringView area = QStringView(text).left(end);

    if (startsWithCommand(text, kSysClear) && m_extScriptAllowed) {
        m_log.clear();
        return remainder;
    }
    if (startsWithCommand(text, kSound)) {
        // Without permission "@sysclear" lands here too: a sound command whose
        // argument is not a number, which plays nothing.
        m_soundScriptPlayed = true;
        const std::optional<int> number = parseSoundNumber(area.mid(kSound.size()));
        if (number && *number >= 0 && *number < m_sounds.scriptSoundCount()) {
            m_sounds.playScriptSound(*number);
        }
        return remainder;
    }
    if (startsWithCommand(text, kClear)) {
        ClearUserLines(area.mid(kClear.size()).toString());
        return remainder;
    }
    if (startsWithCommand(text, kDel)) {
        DeleteUserLastLine(area.mid(kDel.size()).toString());
        return remainder;
    }
    return remainder;
}

bool ScriptInterpreter::isMessageOf(QStringView stampedMessage, const QString& name) const {
    // The whole name must be followed by its own separator, so that X's command never
    // takes a line of XY's, nor one that merely quotes X.
    const QStringView message = m_log.withoutTimeStamp(stampedMessage);
    if (!message.startsWith(name)) {
        return false;
    }
    const QStringView rest = message.sliced(name.size());
    if (rest.startsWith(u"> ")) {
        return true;
    }
    if (name.isEmpty() || name != m_ownName || !rest.startsWith(u" to ")) {
        return false;
    }
    // A handle name never holds "> ": the first one on the line ends the addressee.
    const qsizetype arrow = rest.indexOf(u"> ");
    const qsizetype lineEnd = rest.indexOf(u"\r\n");
    return arrow >= 0 && (lineEnd < 0 || arrow < lineEnd);
}

void ScriptInterpreter::ClearUserLines(const QString& name) {
    m_log.removeMessagesIf([&](QStringView message) { return isMessageOf(message, name); });
    m_log.addToLog(texts::clearedLog(name));
}

void ScriptInterpreter::DeleteUserLastLine(const QString& name) {
    if (m_log.messageCount() > 0 && isMessageOf(m_log.message(m_log.messageCount() - 1), name)) {
        m_log.removeLastMessage();
    }
}

std::optional<int> ScriptInterpreter::parseSoundNumber(QStringView argument) {
    qsizetype i = 0;
    if (i < argument.size() && (argument.at(i) == u'+' || argument.at(i) == u'-')) {
        ++i;
    }
    qsizetype digits = 0;
    while (i < argument.size() && isAsciiDigit(argument.at(i))) {
        ++i;
        ++digits;
    }
    if (i < argument.size() && argument.at(i) == u'.') {
        ++i;
        while (i < argument.size() && isAsciiDigit(argument.at(i))) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0 || i != argument.size()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = argument.toString().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    // nearbyint rounds ties to even in the default rounding mode.
    const double rounded = std::nearbyint(value);
    if (rounded < -32768.0 || rounded > 32767.0) {
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

} // namespace chat
