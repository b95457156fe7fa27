#pragma once

#include "secure/pairingcode.h"

#include <optional>

class OutgoingCopy;
class QWidget;

// Before a copy from the window: when the joined host shows a pairing code and is not a
// device trusted here, asks for the code in a small dialog and gives it to the copy. False
// when the user cancels (nothing is sent); asks again while what was typed is no code. A
// code given beforehand (the wizard's field) is used instead of asking, only when the host
// asks for one.
bool AskForPairingCode(QWidget* parent, OutgoingCopy& copy, const std::optional<PairingCode>& given = std::nullopt);
