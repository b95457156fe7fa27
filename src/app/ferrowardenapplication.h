#pragma once

#include <QApplication>

#include <exception>

// The desktop program's application object. An exception that escapes an event handler is
// shown in an error box captioned "Ferrowarden" and the program carries on; the handler's
// remaining steps are skipped.
class FerrowardenApplication final : public QApplication {
    Q_OBJECT

public:
    FerrowardenApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // The error box for a caught exception; the handlers' own guard uses it too.
    static void ShowException(std::exception_ptr error);

    // Wraps a window's handler for a signal connection: an exception it raises is shown in
    // the error box and the handler's remaining steps are skipped, without unwinding
    // through Qt's own frames.
    template <typename Handler>
    static auto Guarded(Handler handler)
    {
        return [handler](auto&&...) {
            try {
                handler();
            } catch (...) {
                ShowException(std::current_exception());
            }
        };
    }
};
