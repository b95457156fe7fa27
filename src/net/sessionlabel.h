#pragma once

#include <QString>

// Why a label could not be found again once hosted, or an empty text when it can: the
// descriptor (label "#" directory) is split at its first "#", control characters would
// reach other PCs' lists and logs, and the whole descriptor must fit what a discovery
// reply carries.
QString SessionLabelProblem(const QString& label, const QString& directory);
