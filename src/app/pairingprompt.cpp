#include "app/pairingprompt.h"

#include "bridge/outgoingcopy.h"

#include <QInputDialog>

bool AskForPairingCode(QWidget* parent, OutgoingCopy& copy, const std::optional<PairingCode>& given)
{
    if (!copy.HostShowsCode() || copy.HostLooksTrusted())
        return true;
    if (given) {
        copy.SetPairingCode(given);
        return true;
    }
    QString hint = QStringLiteral("The server asks for the pairing code it shows (such as 4829-1375):");
    for (;;) {
        bool ok = false;
        const QString typed =
            QInputDialog::getText(parent, QStringLiteral("Pairing code"), hint, QLineEdit::Normal, QString(), &ok);
        if (!ok)
            return false;
        if (const auto code = PairingCode::FromTyped(typed)) {
            copy.SetPairingCode(code);
            return true;
        }
        hint = QStringLiteral("That is no pairing code: give the eight digits the server shows (such as "
                              "4829-1375):");
    }
}
