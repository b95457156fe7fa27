#include "app/desktopnotifier.h"

#include "transfer/receivingengine.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <QWidget>

void DesktopNotifier::CopyArrived(const ReceiveSummary& summary, const QString& from, const QString& folder)
{
    if (summary.announcedFiles <= 0)
        return;
    const QString who = from.isEmpty() ? QStringLiteral("a client") : from;
    QString body = QStringLiteral("%1 of %2 files from %3 stored in %4")
                       .arg(summary.completedFiles)
                       .arg(summary.announcedFiles)
                       .arg(who, folder);
    const int notStored = summary.announcedFiles - summary.completedFiles;
    if (notStored > 0)
        body += QStringLiteral("; %1 not stored (the messages say why)").arg(notStored);
    notify(notStored > 0 ? QStringLiteral("Files arrived, not all stored") : QStringLiteral("Files arrived"), body);
}

void DesktopNotifier::CopySent(bool complete, const QString& session)
{
    notify(complete ? QStringLiteral("Copy complete") : QStringLiteral("Copy ended"),
           complete ? QStringLiteral("Every file reached \"%1\".").arg(session)
                    : QStringLiteral("The copy to \"%1\" did not complete; the messages say why.").arg(session));
}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    if (m_window->isActiveWindow() && !m_window->isMinimized())
        return;
    m_last = summary + QStringLiteral(": ") + body;
    QApplication::alert(m_window);
    // Without a notification service on the bus the call goes nowhere; the hint remains.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Ferrowarden") << uint(0) << QStringLiteral("ferrowarden") << summary << body
         << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("ferrowarden")}} << int(-1);
    QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
}
