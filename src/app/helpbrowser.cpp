#include "app/helpbrowser.h"

#include "app/helptopics.h"
#include "app/helpwindow.h"

#include <QCoreApplication>
#include <QPointer>

// The pages live in a static library, so their resources are registered by hand (outside
// any namespace, as the macro requires).
static void registerHelpPages()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(help);
        return true;
    }();
    (void)registered;
}

namespace HelpBrowser {

void ShowContext(int context, QWidget* parent)
{
    // One help window for the whole program; it goes when the program quits.
    static QPointer<HelpWindow> window;
    registerHelpPages();
    if (!window) {
        window = new HelpWindow;
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, window, &QObject::deleteLater);
    }
    window->ShowPage(HelpPageForContext(context), parent);
}

} // namespace HelpBrowser
