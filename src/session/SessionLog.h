#pragma once

#include <QLoggingCategory>

// mirelune.session: quiet unless enabled with QT_LOGGING_RULES="mirelune.session*=true".
Q_DECLARE_LOGGING_CATEGORY(lcSession)
