#include "chat/ChatMessage.h"

namespace chat {

session::Message ChatMessage::toMessage() const {
    session::Message message;
    message.writeInt32(static_cast<qint32>(kind));
    message.writeString(text);
    return message;
}

} // namespace chat
