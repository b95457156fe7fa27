#pragma once

#include "transfer/receivingengine.h"
#include "transfer/transferview.h"

#include <QString>

// The command line's texts about a copy: its progress line, fitted to the terminal, and the
// summary that stays when it is over.

// "512 B", "3.0 KiB", "2.9 MiB", "1.5 GiB".
QString BytesText(qint64 bytes);
// "0.42 s", "12.3 s", "2:05".
QString DurationText(double seconds);

// The progress line, at most `width` characters, so that it never wraps: the richest form
// that fits ("LABEL  File 2/5  1.2 MiB of 3.4 MiB  12.3 MB/s  0:03 left"), dropping the time
// left, then the long forms, then the label, and cut as a last resort. `label` may be empty.
QString ProgressLine(const TransferProgress& progress, double seconds, const QString& label, int width);

// The sender's last line: files and bytes sent of all, time, speed and the outcome ("done",
// "failed", "interrupted"). `wireBytes`, when known (>= 0), is what went over the network as
// data: less than what was sent when the server had parts of resumed files already; the
// speed is taken from it. `alreadyThere` files the server had already, unchanged, and were
// not sent ("812 already there").
QString SentSummary(int filesSent, int fileCount, qint64 bytesSent, qint64 totalBytes, double seconds,
                    const QString& outcome, qint64 wireBytes = -1, int alreadyThere = 0);

// The server's line for one client's copy, from `from`: files written, bytes, time, speed
// and how it ended (complete, or what was discarded or cut off).
QString ReceivedSummary(const ReceiveSummary& summary, const TransferProgress& progress, double seconds,
                        const QString& from);
