#pragma once

// libsodium must be set up once before any of its functions runs; every class of this
// folder calls this first. Safe from any thread, any number of times; AppError when the
// library cannot start (no source of randomness).
void EnsureSodium();
