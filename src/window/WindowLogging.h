#pragma once

#include <QLoggingCategory>

// Diagnostics of the chat window; quiet unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcWindow)
