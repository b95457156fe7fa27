#include "bridge/computername.h"

#include <QSysInfo>

namespace {

constexpr qsizetype kComputerNameBytes = 49;

} // namespace

QString ReadComputerName()
{
    QString name = QSysInfo::machineHostName();
    while (name.toLocal8Bit().size() > kComputerNameBytes)
        name.chop(name.size() >= 2 && name.at(name.size() - 1).isLowSurrogate() ? 2 : 1);
    return name;
}
