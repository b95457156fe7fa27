#include "app/copyresume.h"

#include "net/tobjectlist.h"

#include <QPushButton>

#include <utility>

namespace {

QString labelOf(const TObjectList& sessions, int row)
{
    return sessions.Strings(row).section(QLatin1Char('#'), 0, 0);
}

} // namespace

CopyResume::Copy CopyResume::CopyTo(const TObjectList* sessions, int row)
{
    Copy copy;
    if (!sessions || row < 0 || row >= sessions->Count())
        return copy;
    if (const QByteArray* instance = sessions->Objects(row))
        copy.instance = *instance;
    copy.label = labelOf(*sessions, row);
    return copy;
}

void CopyResume::Offer(Copy copy)
{
    m_copy = std::move(copy);
    m_searching = false;
    m_button->setEnabled(true);
    m_button->show();
    m_button->setFocus();
}

void CopyResume::Withdraw()
{
    m_copy.reset();
    m_searching = false;
    m_button->hide();
    m_button->setEnabled(true);
}

void CopyResume::SearchStarted()
{
    m_searching = true;
    m_button->setEnabled(false);
}

bool CopyResume::SearchEnded()
{
    m_button->setEnabled(true);
    return std::exchange(m_searching, false);
}

int CopyResume::FindRow(const TObjectList* sessions) const
{
    if (!sessions || !m_copy)
        return -1;
    for (int row = 0; row < sessions->Count(); ++row) {
        const QByteArray* found = sessions->Objects(row);
        if (found && !m_copy->instance.isEmpty() && *found == m_copy->instance)
            return row;
    }
    for (int row = 0; row < sessions->Count(); ++row)
        if (labelOf(*sessions, row) == m_copy->label)
            return row;
    return -1;
}
