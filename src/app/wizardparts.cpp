#include "app/wizardparts.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>

#include <cmath>

namespace WizardParts {

QLabel* text(QWidget* parent, const char* name, const QString& content)
{
    auto* label = new QLabel(content, parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* heading(QWidget* parent, bool server)
{
    auto* label = new QLabel(server ? QStringLiteral("Your computer is configured as Server")
                                    : QStringLiteral("Your computer is configured as Client"),
                             parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

QTreeWidget* reportList(QWidget* parent, const char* name, const QStringList& columns, const QList<int>& widths,
                        double scale)
{
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QLatin1String(name));
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int i = 0; i < widths.size(); ++i)
        list->header()->resizeSection(i, int(std::lround(widths[i] * scale)));
    return list;
}

} // namespace WizardParts
