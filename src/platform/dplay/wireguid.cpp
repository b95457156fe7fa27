#include "platform/dplay/wireguid.h"

#include <QtEndian>

void PutGuidLE(unsigned char* out, const GUID& g)
{
    qToLittleEndian<quint32>(g.Data1, out);
    qToLittleEndian<quint16>(g.Data2, out + 4);
    qToLittleEndian<quint16>(g.Data3, out + 6);
    std::memcpy(out + 8, g.Data4, 8);
}

GUID GetGuidLE(const unsigned char* in)
{
    GUID g;
    g.Data1 = qFromLittleEndian<quint32>(in);
    g.Data2 = qFromLittleEndian<quint16>(in + 4);
    g.Data3 = qFromLittleEndian<quint16>(in + 6);
    std::memcpy(g.Data4, in + 8, 8);
    return g;
}
