#pragma once

#include "secure/identity.h"

#include <functional>

// This device's identity for a copy: the stored one, made at first use. When it cannot be
// read or stored (a config folder that cannot be written, a damaged or exposed key file) the
// copy still goes, encrypted, under an identity for this run only; `warn` hears why, and
// that pairing then lasts for this run only.
Identity LoadDeviceIdentity(const std::function<void(const QString&)>& warn);
