#pragma once

#include <QLoggingCategory>

// The net layer's log category, "fw.net": the session endpoint, search and connection roles.
// Its debug lines are silent unless enabled, e.g. QT_LOGGING_RULES="fw.net.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcNet)
