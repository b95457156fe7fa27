#pragma once

#include <QLoggingCategory>

// The platform layer's log category, "fw.dplay": the session service (sockets, frames, joins).
// Its debug lines are silent unless enabled, e.g. QT_LOGGING_RULES="fw.dplay.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcDplay)
