#pragma once

#include <QIcon>

// The program's icon, the same picture as the desktop entry's: the window, its dialogs
// and the help use it.
QIcon FerrowardenIcon();
