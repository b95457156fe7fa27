#pragma once

#include "platform/dplay/searchreport.h"

#include <QString>
#include <QStringList>

#include <vector>

// What a front end makes of a search's report: the sessions it heard of that another
// client holds, and why it found nothing at all.

// A session of this program that answered but is full: another client is sending to it.
struct BusySession {
    QString label;     // shown escaped, as in lists
    QString directory; // shown escaped
};

// The full sessions of `application` heard in `report`, in the directory's order.
std::vector<BusySession> BusySessions(const SearchReport& report, const GUID& application);

// A few lines on why a search for `application` found no session: whom it asked, on which
// port; interfaces it could not ask; what came back, Ferrowarden's or not; what to check.
QStringList EmptySearchLines(const SearchReport& report, const GUID& application);
