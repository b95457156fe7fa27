#pragma once

#include <QString>

// What a sender remembers of a copy that may have been cut off: a small file per server,
// written when a copy of version 2 starts and removed when the copy runs through to its end
// (whatever the files' outcomes). One still there when the next copy to the same server
// starts means the last one was cut (the sender was killed, the link or the server was
// lost): that copy goes carefully, asking the server about every file before its data.
//
// The files live in "ferrowarden/cut-copies" under the user's data folder (XDG_DATA_HOME
// moves it), named by a hash of the server's key: its device fingerprint for a secure copy,
// else the session's name. A marker older than kLifetimeDays is not counted (the server
// keeps partial files no longer either).
class CutCopyMarker {
public:
    static constexpr int kLifetimeDays = 7;

    explicit CutCopyMarker(const QString& serverKey);

    // A marker younger than kLifetimeDays is there.
    bool Present() const;
    // Writes (or renews) the marker; false, silently, when it cannot be written: the next
    // copy then goes as usual.
    bool Write() const;
    void Remove() const;

    const QString& FilePath() const { return m_path; }
    // The folder of all markers.
    static QString Folder();

private:
    QString m_path;
};
