#include "setup/SetupLogging.h"

Q_LOGGING_CATEGORY(lcSetup, "mirelune.setup", QtCriticalMsg)
