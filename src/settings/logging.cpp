#include "settings/logging.h"

Q_LOGGING_CATEGORY(lcSettings, "fw.settings", QtInfoMsg)
