#include "platform/logging.h"

Q_LOGGING_CATEGORY(lcDplay, "fw.dplay", QtInfoMsg)
