#include "cli/clidevices.h"

#include "bridge/computername.h"
#include "platform/apperror.h"
#include "secure/identity.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"

#include <cstdio>

namespace {

void print(std::FILE* to, const QString& line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), to);
}

} // namespace

int RunDevices(const QString& forget)
{
    try {
        TrustedDevices trusted;
        if (!forget.isEmpty()) {
            if (!trusted.forget(forget)) {
                print(stderr, QStringLiteral("ferrowarden: no trusted device is named \"%1\"").arg(Printable(forget)));
                return 1;
            }
            print(stdout, QStringLiteral("Forgot \"%1\": it needs the pairing code again to copy as a trusted device")
                              .arg(Printable(forget)));
            return 0;
        }
        const Identity identity = Identity::LoadOrCreate();
        print(stdout, QStringLiteral("This device: %1").arg(Printable(ReadComputerName())));
        print(stdout, QStringLiteral("Fingerprint: %1").arg(identity.fingerprint()));
        const QList<TrustedDevice> devices = trusted.list();
        if (devices.isEmpty()) {
            print(stdout, QStringLiteral("No trusted devices yet: a copy with the pairing code (send --code) "
                                         "makes both ends trust each other"));
            return 0;
        }
        print(stdout, QStringLiteral("Trusted devices:"));
        for (const TrustedDevice& device : devices)
            print(stdout, QStringLiteral("  %1\t%2\tlast seen %3")
                              .arg(Printable(device.name), Identity::Fingerprint(device.key),
                                   device.lastSeen.isValid()
                                       ? device.lastSeen.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
                                       : QStringLiteral("never")));
        return 0;
    } catch (const AppError& error) {
        print(stderr, QStringLiteral("ferrowarden: ") + error.message());
        return 1;
    }
}
