#pragma once

#include "session/wire/Message.h"

#include <QString>

namespace chat {

// What a chat line travels as: one session message holding a 32-bit kind and then
// the text. Nothing else is written; the text is free text.
enum class ChatKind : qint32 { Public = 0, Private = 1 };

struct ChatMessage {
    ChatKind kind = ChatKind::Public;
    QString text;

    session::Message toMessage() const;
};

// True for the kinds a receiver handles; the text of any other kind is not read.
constexpr bool isChatKind(qint32 kind) {
    return kind == static_cast<qint32>(ChatKind::Public) || kind == static_cast<qint32>(ChatKind::Private);
}

} // namespace chat
