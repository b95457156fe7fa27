#pragma once

#include <QCollator>
#include <QStringList>

// The order in which the browsing widgets show names: the user's locale order without regard
// to case. Names that differ only in case (a case-sensitive file system allows both) still
// get a fixed order, so a listing never shuffles between reads.
class NameOrder {
public:
    NameOrder();
    bool operator()(const QString& a, const QString& b) const;
    void Sort(QStringList& names) const;

private:
    QCollator m_collator;
};
