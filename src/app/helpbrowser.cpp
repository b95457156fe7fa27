#include "app/helpbrowser.h"

namespace HelpBrowser {

void ShowContext(int context, QWidget* parent)
{
    // The help window and its pages are being written.
    (void)context;
    (void)parent;
}

} // namespace HelpBrowser
