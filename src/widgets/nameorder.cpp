#include "widgets/nameorder.h"

#include <algorithm>

NameOrder::NameOrder()
{
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    m_collator.setNumericMode(false);
}

bool NameOrder::operator()(const QString& a, const QString& b) const
{
    // Folding first keeps the order case-blind even where the collator falls back to a
    // plain comparison (the C locale).
    const int folded = m_collator.compare(a.toCaseFolded(), b.toCaseFolded());
    if (folded != 0)
        return folded < 0;
    return a < b;
}

void NameOrder::Sort(QStringList& names) const
{
    std::sort(names.begin(), names.end(), *this);
}
