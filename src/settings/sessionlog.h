#pragma once

#include "settings/settings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QString>
#include <QTimer>

#include <functional>

class MessageListView;

// The run's log: every line goes to the message list and, while the log file is open and
// CreateLog is on, to the log file, one record per run:
//
//   [CR LF]                                  only when appending
//   "[New Entry]" CR LF
//   <date-time> ": Ferrowarden session on " <computer name> CR LF
//   CR LF <text>                             per LogMessage
//   <text>                                   per LogAppend
//   CR LF CR LF "Session closed " <date-time> CR LF CR LF
//
// Text is written as UTF-8. When appending, a Ctrl-Z (0x1A) within the last 128 bytes of
// the existing file marks its end: the file is cut there first. The date-time is the
// user's short date and long time, without a time zone (the system locale's formats; under
// the plain C locale, which has no regional formats, "dd.MM.yyyy HH:mm:ss"), the time left
// out at exactly midnight, until SetDateTimeFormat changes it. While open, the file holds an exclusive
// advisory lock (flock), so a second instance cannot write into it and logs to its list only.
//
// Lines reach the file within about a second (LogError's at once), so that a process that
// is killed loses at most the last second of its record: a line is put on disk when the
// last flush is older than that, else by a timer where an event loop runs, or by
// FlushIfDue, which a long operation that blocks the event loop calls as it goes.
class SessionLog {
public:
    // The fixed form used where the locale has no regional formats.
    static constexpr const char* kDateFormat = "dd.MM.yyyy";
    static constexpr const char* kTimeFormat = "HH:mm:ss";

    // `settings` is read at every call (CreateLog may be switched during the run) and must
    // outlive the log; `view` may be null.
    SessionLog(const Settings& settings, QString computerName, MessageListView* view = nullptr);
    ~SessionLog();

    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    void SetView(MessageListView* view) { m_view = view; }
    // Formats in QDate/QTime notation, rendered with `locale` (month and day names, AM/PM).
    // A time zone in the time format is left out.
    void SetDateTimeFormat(const QString& dateFormat, const QString& timeFormat, const QLocale& locale = QLocale::c());
    // Where "now" comes from; the local clock unless a test fixes it.
    void SetClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // Opens the file named by LogFile (created when missing, the name resolved against the
    // current directory once, now) and writes the record's opening lines. Does nothing when
    // CreateLog is off; any failure leaves the log closed, silently.
    void OpenLogFile();
    // Writes the closing lines and closes the file; does nothing when it is not open.
    // Throws AppError when the file cannot be written or closed.
    void CloseLogFile();
    // A new line. Throws AppError when the file cannot be written; the list then keeps
    // its lines as they were.
    void LogMessage(const QString& text);
    // A new line that reports a failure: like LogMessage, and on disk at once.
    void LogError(const QString& text);
    // Continues the last line; every failure is ignored.
    void LogAppend(const QString& text);

    bool LogOpen() const { return m_open; }
    // The absolute path of the open (or last opened) log file; empty before the first open.
    const QString& FilePath() const { return m_path; }
    // Puts every buffered line on disk.
    void Flush();
    // Flushes when lines have waited for about a second; cheap enough to call per packet.
    void FlushIfDue();

    static constexpr int kFlushIntervalMs = 1000;

    // Reads the open log file whole, for showing it: the file is closed as it stands, so
    // that every buffered line is on disk (no closing lines; the log stays open), then
    // opened again, read and left positioned for appending at its end, with nothing
    // written. It is always the file this run's record is being written to, whatever
    // LogFile says now. Returns nothing while the log is not open. Throws AppError when a
    // step fails; the log is then open for appending again if the file could be reopened,
    // and closed (LogOpen false) if not, never open on a closed file.
    QByteArray Reload();

    QString DateTimeText(const QDateTime& when) const;

private:
    static QString withoutTimeZone(const QString& timeFormat);
    bool fileActive() const;
    bool openFile();
    QString reopenForAppend();
    [[noreturn]] void fail(const QString& what, const QString& error) const;
    bool write(const QByteArray& bytes);
    // After a write: flushes now when the last flush is old enough, else arms the timer.
    void flushSoon();

    const Settings& m_settings;
    QString m_computerName;
    MessageListView* m_view;
    std::function<QDateTime()> m_clock;
    QString m_dateFormat;
    QString m_timeFormat;
    QLocale m_locale;
    QFile m_file;
    QString m_path;
    bool m_open = false;
    bool m_unflushed = false;
    QElapsedTimer m_sinceFlush;
    QTimer m_flushTimer;
};
