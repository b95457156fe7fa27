#pragma once

#include <QString>

// A host named on the command line, looked up before any networking starts, so that a
// name that does not resolve is told as such and the search asks the address found.
struct HostLookup {
    QString address; // dotted IPv4 address; empty when the lookup failed
    QString error;   // why it failed, in the resolver's words
};

HostLookup LookUpHost(const QString& name);
