#pragma once

#include <QLoggingCategory>

// The transfer layer's log category, "fw.transfer": the sending and receiving engines. Its
// debug lines are silent unless enabled, e.g. QT_LOGGING_RULES="fw.transfer.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
