#include "chat/ChatLogging.h"

Q_LOGGING_CATEGORY(lcChat, "mirelune.chat", QtWarningMsg)
