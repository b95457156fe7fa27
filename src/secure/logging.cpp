#include "secure/logging.h"

Q_LOGGING_CATEGORY(lcSecure, "fw.secure", QtInfoMsg)
