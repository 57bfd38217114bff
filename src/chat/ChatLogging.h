#pragma once

#include <QLoggingCategory>

// Diagnostics of the chat core; quiet unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcChat)
