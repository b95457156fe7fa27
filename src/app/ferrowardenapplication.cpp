#include "app/ferrowardenapplication.h"

#include "app/appicon.h"
#include "ferrowardenversion.h"
#include "platform/apperror.h"

#include <QMessageBox>

FerrowardenApplication::FerrowardenApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Ferrowarden"));
    setApplicationVersion(QStringLiteral(FERROWARDEN_VERSION));
    // The desktop entry this program is started from, and its icon on every window.
    setDesktopFileName(QStringLiteral("ferrowarden"));
    setWindowIcon(FerrowardenIcon());
}

bool FerrowardenApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return false;
}

void FerrowardenApplication::ShowException(std::exception_ptr error)
{
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const AppError& failure) {
        text = failure.message();
    } catch (const std::exception& failure) {
        text = QString::fromLocal8Bit(failure.what());
    } catch (...) {
        text = QStringLiteral("An unknown error occurred.");
    }
    QMessageBox::critical(activeWindow(), QStringLiteral("Ferrowarden"), text);
}
