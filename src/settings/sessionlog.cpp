#include "settings/sessionlog.h"

#include "platform/apperror.h"
#include "settings/messagelistview.h"

#include <QAbstractEventDispatcher>
#include <QFileInfo>
#include <QLocale>

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr char kCtrlZ = '\x1A';
constexpr qint64 kCtrlZWindow = 128;
const QByteArray kLineBreak("\r\n");

} // namespace

SessionLog::SessionLog(const Settings& settings, QString computerName, MessageListView* view)
    : m_settings(settings),
      m_computerName(std::move(computerName)),
      m_view(view),
      m_clock([] { return QDateTime::currentDateTime(); }),
      m_dateFormat(QString::fromLatin1(kDateFormat)),
      m_timeFormat(QString::fromLatin1(kTimeFormat)),
      m_locale(QLocale::c())
{
    const QLocale user = QLocale::system();
    if (user.language() != QLocale::C)
        SetDateTimeFormat(user.dateFormat(QLocale::ShortFormat), user.timeFormat(QLocale::LongFormat), user);
    m_sinceFlush.start();
    m_flushTimer.setSingleShot(true);
    m_flushTimer.callOnTimeout([this] { Flush(); });
}

SessionLog::~SessionLog()
{
    // Without CloseLogFile the record stays unfinished, but every line written so far
    // reaches the disk.
    if (m_file.isOpen())
        m_file.close();
}

void SessionLog::SetDateTimeFormat(const QString& dateFormat, const QString& timeFormat, const QLocale& locale)
{
    m_dateFormat = dateFormat;
    m_timeFormat = withoutTimeZone(timeFormat);
    m_locale = locale;
}

// A long time format may name the time zone ("t", as in "h:mm:ss AP t"); a log line's time
// is the plain local time, so the zone and the blank before it go (quoted text stays).
QString SessionLog::withoutTimeZone(const QString& timeFormat)
{
    QString kept;
    bool quoted = false;
    for (const QChar c : timeFormat) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (quoted || c != QLatin1Char('t'))
            kept += c;
        else if (kept.endsWith(QLatin1Char(' ')))
            kept.chop(1);
    }
    return kept.trimmed();
}

QString SessionLog::DateTimeText(const QDateTime& when) const
{
    QString text = m_locale.toString(when.date(), m_dateFormat);
    if (when.time() != QTime(0, 0))
        text += QLatin1Char(' ') + m_locale.toString(when.time(), m_timeFormat);
    return text;
}

bool SessionLog::fileActive() const
{
    return m_settings.CreateLog && m_open;
}

bool SessionLog::write(const QByteArray& bytes)
{
    m_unflushed = true;
    return m_file.write(bytes) == bytes.size();
}

void SessionLog::flushSoon()
{
    if (m_sinceFlush.elapsed() >= kFlushIntervalMs) {
        Flush();
    } else if (!m_flushTimer.isActive() && QAbstractEventDispatcher::instance()) {
        m_flushTimer.start(int(kFlushIntervalMs - m_sinceFlush.elapsed()));
    }
}

void SessionLog::FlushIfDue()
{
    if (m_unflushed && m_sinceFlush.elapsed() >= kFlushIntervalMs)
        Flush();
}

bool SessionLog::openFile()
{
    // Resolved once: a later change of the current directory must not move the log.
    m_path = QFileInfo(m_settings.LogFile).absoluteFilePath();
    m_file.setFileName(m_path);
    // ReadWrite creates a missing file; emptying waits until the lock is held, so that a
    // log in use by another instance is never cut.
    if (!m_file.open(QIODevice::ReadWrite))
        return false;
    if (::flock(m_file.handle(), LOCK_EX | LOCK_NB) != 0)
        return false;
    if (m_settings.AppendLogData) {
        const qint64 size = m_file.size();
        const qint64 tailStart = std::max<qint64>(0, size - kCtrlZWindow);
        if (!m_file.seek(tailStart))
            return false;
        const QByteArray tail = m_file.read(size - tailStart);
        const qsizetype end = tail.indexOf(kCtrlZ);
        if (end >= 0 && !m_file.resize(tailStart + end))
            return false;
        if (!m_file.seek(m_file.size()) || !write(kLineBreak))
            return false;
    } else if (!m_file.resize(0) || !m_file.seek(0)) {
        return false;
    }
    // The header is on disk at once: it says that a run took place even if nothing follows.
    return write("[New Entry]" + kLineBreak)
           && write((DateTimeText(m_clock()) + QStringLiteral(": Ferrowarden session on ") + m_computerName).toUtf8()
                    + kLineBreak)
           && m_file.flush();
}

void SessionLog::OpenLogFile()
{
    if (!m_settings.CreateLog || m_open)
        return;
    m_open = openFile();
    if (!m_open && m_file.isOpen())
        m_file.close();
    m_unflushed = false;
    m_sinceFlush.restart();
}

void SessionLog::CloseLogFile()
{
    if (!m_open)
        return;
    m_open = false;
    const bool written =
        write(kLineBreak + kLineBreak + "Session closed " + DateTimeText(m_clock()).toUtf8() + kLineBreak + kLineBreak)
        && m_file.flush();
    const QString error = m_file.errorString();
    m_file.close();
    m_flushTimer.stop();
    m_unflushed = false;
    if (!written)
        throw AppError(QStringLiteral("Cannot write the log file %1: %2").arg(m_path, error));
}

void SessionLog::LogMessage(const QString& text)
{
    if (fileActive()) {
        if (!write(kLineBreak + text.toUtf8()))
            throw AppError(QStringLiteral("Cannot write the log file %1: %2").arg(m_path, m_file.errorString()));
        flushSoon();
    }
    if (m_view)
        m_view->AddLine(text);
}

void SessionLog::LogError(const QString& text)
{
    LogMessage(text);
    Flush();
}

void SessionLog::LogAppend(const QString& text)
{
    if (fileActive()) {
        write(text.toUtf8());
        flushSoon();
    }
    if (m_view) {
        try {
            m_view->AppendToLastLine(text);
        } catch (...) {
            // A continuation that cannot be shown is not worth stopping for.
        }
    }
}

void SessionLog::Flush()
{
    m_flushTimer.stop();
    m_sinceFlush.restart();
    m_unflushed = false;
    if (m_file.isOpen())
        m_file.flush();
}

void SessionLog::fail(const QString& what, const QString& error) const
{
    throw AppError(QStringLiteral("%1 %2: %3").arg(what, m_path, error));
}

// Opens the run's log file again after a plain close, positioned for appending at its end:
// an existing file only (one that vanished in between is not recreated without its
// record's opening lines), locked as at the first open. Returns why it failed, or nothing.
QString SessionLog::reopenForAppend()
{
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return m_file.errorString();
    QString error;
    if (::flock(m_file.handle(), LOCK_EX | LOCK_NB) != 0)
        error = errno == EWOULDBLOCK ? QStringLiteral("the file is in use by another program")
                                     : QString::fromLocal8Bit(std::strerror(errno));
    else if (!m_file.seek(m_file.size()))
        error = m_file.errorString();
    if (!error.isEmpty())
        m_file.close();
    return error;
}

QByteArray SessionLog::Reload()
{
    if (!m_open)
        return {};
    const bool flushed = m_file.flush();
    const QString writeError = m_file.errorString();
    m_file.close();
    if (const QString openError = reopenForAppend(); !openError.isEmpty()) {
        m_open = false;
        fail(flushed ? QStringLiteral("Cannot open the log file") : QStringLiteral("Cannot write the log file"),
             flushed ? openError : writeError);
    }
    if (!flushed)
        fail(QStringLiteral("Cannot write the log file"), writeError);
    const qint64 end = m_file.pos();
    m_file.unsetError();
    QByteArray contents;
    bool read = m_file.seek(0);
    if (read) {
        contents = m_file.read(end);
        read = m_file.error() == QFileDevice::NoError;
    }
    const QString readError = m_file.errorString();
    if (!m_file.seek(end)) {
        const QString seekError = m_file.errorString();
        m_file.close();
        m_open = false;
        fail(QStringLiteral("Cannot open the log file"), seekError);
    }
    if (!read)
        fail(QStringLiteral("Cannot read the log file"), readError);
    return contents;
}
