#pragma once

#include <QString>

// ferrowarden devices [forget NAME]: shows this device's name and fingerprint (to read out
// when pairing), then the devices it trusts with their fingerprints and when each last
// copied; forget removes one, which then needs pairing again. Returns the exit code.
int RunDevices(const QString& forget);
