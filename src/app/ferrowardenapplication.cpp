#include "app/ferrowardenapplication.h"

#include "platform/apperror.h"

#include <QMessageBox>

FerrowardenApplication::FerrowardenApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Ferrowarden"));
    setApplicationVersion(QStringLiteral(FERROWARDEN_VERSION));
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
