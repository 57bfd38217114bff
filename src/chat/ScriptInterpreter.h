#pragma once

#include "chat/ChatLog.h"
#include "chat/ChatOutputs.h"

#include <QString>
#include <QStringView>
#include <optional>

namespace chat {

// The in-band script language: at most one command at the start of a chat text,
// "@" word [argument] ";" remainder. Command words are matched as prefixes with
// ASCII letter case folded; every position is taken from the original text.
class ScriptInterpreter {
public:
    ScriptInterpreter(ChatLog& log, ChatSounds& sounds) : m_log(log), m_sounds(sounds) {}

    // Whether this copy obeys "@sysclear". Changed only by the local user's
    // permission commands; never sent.
    bool extScriptAllowed() const { return m_extScriptAllowed; }
    void setExtScriptAllowed(bool allowed) { m_extScriptAllowed = allowed; }

    // Set by RunScript when the text was a sound command, so the caller does not
    // play the standard message sound as well; the caller clears it.
    bool soundScriptPlayed() const { return m_soundScriptPlayed; }
    void setSoundScriptPlayed(bool played) { m_soundScriptPlayed = played; }

    struct Prepared {
        QString text;
        // The new caption of the message label, when a permission command ran.
        std::optional<QString> notice;
    };

    // The sender's rewriting before a text is sent: the permission commands take
    // effect locally and are removed; "@clear;" and "@del;" get the sender's own
    // handle name inserted. Any other text is returned unchanged.
    Prepared PrepareCommand(const QString& text, const QString& ownName);

    // Runs the text's command, if any, and returns the remainder to show. A text
    // that does not begin with "@", or holds no ";", is returned whole.
    // `senderName` is the handle name of the member who sent the text: when the text
    // is "@clear" or "@del" followed by that name and ";", the whole prefix is the
    // command even if the name itself contains ";".
    QString RunScript(const QString& text, const QString& senderName = QString());

    // The local player's handle name: only this copy's log holds that member's
    // private lines as sent ("name to addressee> text").
    void setOwnName(const QString& name) { m_ownName = name; }

    // Removes every message of the member and appends the notice. A member's message
    // begins with name + "> " (public, or private to this copy), or, for the local
    // player, with name + " to " + addressee + "> "; it goes with all its lines.
    void ClearUserLines(const QString& name);
    // Removes the log's newest message, all its lines, when it is the member's.
    void DeleteUserLastLine(const QString& name);

    // A sound argument: optional sign, decimal digits, optional fraction, rounded
    // to the nearest whole number (ties to even) and within 16 bits.
    static std::optional<int> parseSoundNumber(QStringView argument);

    // The sender's reading of a command typed with an input method on: when `text`
    // begins with a command whose characters ("@", the command word, the digits of a
    // sound number, ";") are written wholly or partly in full-width forms, that
    // command in ASCII followed by the rest unchanged. Recognised are the sound
    // command with a number, "@clear;", "@del;", "@sysclear;" and the two permission
    // commands. Any other text, the rest of the message included, is returned as it is.
    static QString withAsciiCommand(const QString& text);

    // The ASCII form of a text made only of decimal digits, ASCII or full-width;
    // nothing for any other text, the empty one included.
    static std::optional<QString> asciiDigits(QStringView text);

    // True when `text` starts with `lowerPrefix` with ASCII letters folded.
    static bool startsWithCommand(QStringView text, QStringView lowerPrefix);

private:
    qsizetype commandEnd(const QString& text, const QString& senderName) const;
    bool isMessageOf(QStringView message, const QString& name) const;

    ChatLog& m_log;
    ChatSounds& m_sounds;
    QString m_ownName;
    bool m_extScriptAllowed = false;
    bool m_soundScriptPlayed = false;
};

} // namespace chat
