#pragma once

class OutgoingCopy;
class QWidget;

// Before a copy from the window: when the joined host shows a pairing code and is not a
// device trusted here, asks for the code in a small dialog and gives it to the copy. False
// when the user cancels (nothing is sent); asks again while what was typed is no code.
bool AskForPairingCode(QWidget* parent, OutgoingCopy& copy);
