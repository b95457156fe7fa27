#include "widgets/filemask.h"

#include <QStringList>

#include <algorithm>

FileMask::FileMask(const QString& mask)
{
    const QStringList patterns = mask.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString pattern : patterns) {
        pattern = pattern.trimmed();
        if (pattern == QLatin1String("*.*"))
            pattern = QStringLiteral("*");
        if (!pattern.isEmpty())
            m_globs.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                              QRegularExpression::CaseInsensitiveOption));
    }
}

bool FileMask::Matches(const QString& name) const
{
    return std::any_of(m_globs.cbegin(), m_globs.cend(),
                       [&](const QRegularExpression& glob) { return glob.match(name).hasMatch(); });
}
