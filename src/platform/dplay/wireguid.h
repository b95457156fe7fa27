#pragma once

#include "platform/dplay/dplay.h"

// A GUID on the wire: 16 bytes, Data1 u32, Data2 u16, Data3 u16 little-endian, then Data4.
void PutGuidLE(unsigned char* out, const GUID& g);
GUID GetGuidLE(const unsigned char* in);
