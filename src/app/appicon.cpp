#include "app/appicon.h"

// The bitmaps live in a static library, so their resources are registered by hand (outside
// any namespace, as the macro requires).
static void registerIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}

QIcon FerrowardenIcon()
{
    registerIcons();
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/ferrowarden-%1.png").arg(size), QSize(size, size));
    return icon;
}
