#pragma once

#include <QList>
#include <QStringList>

// What the connection wizard asks of the window that opens it: the session search, whose
// rows the wizard copies into its own list.
class WizardSessions {
public:
    virtual ~WizardSessions() = default;

    // Starts a search; the window shows its searching state meanwhile.
    virtual void SearchSessions() = 0;
    virtual bool SearchDone() const = 0;
    // The rows of the latest search, in order: each the label and the target directory.
    virtual QList<QStringList> SessionRows() const = 0;
    // True when a session hosted now would ask senders for a pairing code.
    virtual bool HostRequiresPairing() const { return false; }
};
