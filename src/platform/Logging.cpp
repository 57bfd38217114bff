#include "platform/Logging.h"

Q_LOGGING_CATEGORY(lcPlatform, "mirelune.platform", QtWarningMsg)
