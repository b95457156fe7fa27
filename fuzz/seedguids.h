#pragma once

#include "platform/dplay/dplay.h"

// The session the seeds were made for; the frame target joins this instance.
inline constexpr GUID kSeedApplication = {0x5D3A1F70, 0x2B84, 0x4C19,
                                          {0x9E, 0x6D, 0x7A, 0x0F, 0x31, 0xC8, 0xB4, 0x52}};
inline constexpr GUID kSeedInstance = {0x0B1E55ED, 0x7A11, 0x4E0F,
                                       {0x81, 0x22, 0x3C, 0x44, 0x55, 0x66, 0x77, 0x88}};
