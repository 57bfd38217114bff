#include "session/SessionLog.h"

Q_LOGGING_CATEGORY(lcSession, "mirelune.session", QtCriticalMsg)
