#pragma once

#include <QString>

// The local computer's name as sessions and the log carry it, read once at start by each
// front end: the host name, cut to the 49 bytes a computer name holds (on a character
// boundary).
QString ReadComputerName();
