#pragma once

#include <QLoggingCategory>

// Diagnostics of the platform layer; quiet unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
