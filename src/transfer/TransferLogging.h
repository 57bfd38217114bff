#pragma once

#include <QLoggingCategory>

// Diagnostics of the file transfers; quiet unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
