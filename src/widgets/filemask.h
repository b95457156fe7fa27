#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>

// File name patterns such as "*.txt;*.doc": separated by ";", "*" and "?" as wildcards,
// matched without regard to case; "*.*" matches every name, dotted or not. An empty mask
// matches nothing.
class FileMask {
public:
    explicit FileMask(const QString& mask);
    bool Matches(const QString& name) const;

private:
    QList<QRegularExpression> m_globs;
};
