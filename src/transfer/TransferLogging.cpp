#include "transfer/TransferLogging.h"

Q_LOGGING_CATEGORY(lcTransfer, "mirelune.transfer", QtWarningMsg)
