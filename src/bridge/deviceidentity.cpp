#include "bridge/deviceidentity.h"

#include "platform/apperror.h"

Identity LoadDeviceIdentity(const std::function<void(const QString&)>& warn)
{
    try {
        return Identity::LoadOrCreate();
    } catch (const AppError& error) {
        if (warn)
            warn(error.message()
                 + QStringLiteral(". This copy uses a key for this run only: devices that trust "
                                  "this one will not recognise it"));
        return Identity::Generate();
    }
}
