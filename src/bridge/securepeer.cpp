#include "bridge/securepeer.h"

#include "platform/apperror.h"
#include "secure/securesession.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"

void NotePeer(const SecureSession& session, const QString& direction, TrustedDevices* trusted,
              const std::function<void(const QString&)>& report)
{
    const auto say = [&](const QString& line) {
        if (report)
            report(line);
    };
    const QString name = QString::fromUtf8(session.peerName);
    const QString shown = Printable(name);
    const QString how = session.paired        ? QStringLiteral("paired with the code")
                        : session.peerTrusted ? QStringLiteral("a trusted device")
                                              : QStringLiteral("not authenticated: no code, not a trusted device");
    say(QStringLiteral("Secure copy %1 \"%2\" (%3; fingerprint %4; %5)")
            .arg(direction, shown, how, Identity::Fingerprint(session.peerIdentity), CipherName(session.cipher)));
    if (!trusted)
        return;
    try {
        if (session.paired) {
            trusted->add(name, session.peerIdentity);
            say(QStringLiteral("\"%1\" is a trusted device now").arg(shown));
        } else if (session.peerTrusted) {
            trusted->seen(session.peerIdentity);
        }
    } catch (const AppError& error) {
        say(error.message());
    }
}
