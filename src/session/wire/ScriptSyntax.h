#pragma once

#include <QString>
#include <QStringView>

// The little the session layer must know of the in-band script language: how a
// command is recognised and where it ends. The room's history takes out what "@clear;"
// and "@del;" take out of the logs, and must read them exactly as every copy's
// interpreter does (chat/ScriptInterpreter.h, which uses these).
namespace session::script {

inline constexpr QStringView kClear = u"@clear";
inline constexpr QStringView kDel = u"@del";

// True when `text` starts with `lowerPrefix` with ASCII letters folded.
bool startsWithCommand(QStringView text, QStringView lowerPrefix);

// Where the command at the start of `text` ends (its ";"), -1 for a text without one.
// A handle name may hold ";": when the text names its own sender after "@clear" or
// "@del", the command runs to the end of that name, so such a member can only ever
// clear its own lines.
qsizetype commandEnd(const QString& text, const QString& senderName);

} // namespace session::script
