#include "net/tobjectlist.h"

#include "platform/apperror.h"

int TObjectList::Add(const QString& text)
{
    m_entries.push_back(Entry{text, std::nullopt});
    return Count() - 1;
}

int TObjectList::AddObject(const QString& text, const QByteArray& block)
{
    m_entries.push_back(Entry{text, block});
    return Count() - 1;
}

const TObjectList::Entry& TObjectList::At(int index) const
{
    if (index < 0 || index >= Count())
        throw AppError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return m_entries[static_cast<std::size_t>(index)];
}

const QString& TObjectList::Strings(int index) const
{
    return At(index).text;
}

const QByteArray* TObjectList::Objects(int index) const
{
    const Entry& entry = At(index);
    return entry.block ? &*entry.block : nullptr;
}

void TObjectList::Delete(int index)
{
    At(index);
    m_entries.erase(m_entries.begin() + index);
}
