#include "window/WindowLogging.h"

Q_LOGGING_CATEGORY(lcWindow, "mirelune.window", QtCriticalMsg)
