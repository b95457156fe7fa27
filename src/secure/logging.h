#pragma once

#include <QLoggingCategory>

// The secure layer's log category, "fw.secure": handshakes, refusals, the device stores.
// Its debug lines are silent unless enabled, e.g. QT_LOGGING_RULES="fw.secure.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcSecure)
