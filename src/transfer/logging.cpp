#include "transfer/logging.h"

Q_LOGGING_CATEGORY(lcTransfer, "fw.transfer", QtInfoMsg)
