#include "app/separatoraccessibility.h"

#include <QAccessibleWidget>
#include <QFrame>
#include <QSplitter>
#include <QSplitterHandle>

namespace {

QAccessibleInterface* separatorInterface(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("QSplitterHandle"))
        return new QAccessibleWidget(widget, QAccessible::Separator);
    if (className == QLatin1String("QFrame")) {
        const QFrame::Shape shape = static_cast<QFrame*>(widget)->frameShape();
        if (shape == QFrame::HLine || shape == QFrame::VLine)
            return new QAccessibleWidget(widget, QAccessible::Separator);
    }
    return nullptr;
}

} // namespace

void InstallSeparatorAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(separatorInterface);
        return true;
    }();
    (void)installed;
}

void NameSplitterHandles(QSplitter* splitter, const QStringList& names)
{
    InstallSeparatorAccessibility();
    // Handle 0 sits before the first pane and is never shown.
    for (int i = 1; i < splitter->count() && i - 1 < names.size(); ++i) {
        QSplitterHandle* handle = splitter->handle(i);
        handle->setAccessibleName(names[i - 1]);
        handle->setAccessibleDescription(QStringLiteral("Drag to resize the panes beside it"));
    }
}
