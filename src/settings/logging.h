#pragma once

#include <QLoggingCategory>

// The settings layer's log category, "fw.settings": the settings store and session log. Its
// debug lines are silent unless enabled, e.g. QT_LOGGING_RULES="fw.settings.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
