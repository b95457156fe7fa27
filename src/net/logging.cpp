#include "net/logging.h"

Q_LOGGING_CATEGORY(lcNet, "fw.net", QtInfoMsg)
