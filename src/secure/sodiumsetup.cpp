#include "secure/sodiumsetup.h"

#include "platform/apperror.h"

#include <sodium.h>

void EnsureSodium()
{
    static const int result = sodium_init(); // 0 first time, 1 when already done
    if (result < 0)
        throw AppError(QStringLiteral("The cryptography library could not start"));
}
