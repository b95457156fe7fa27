#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QTreeWidget;
class QWidget;

// The wizard's recurring controls, made the same way on every page.
namespace WizardParts {

// A wrapped, plain, top-left aligned text.
QLabel* text(QWidget* parent, const char* name, const QString& content);
// The bold line that says which role this PC plays.
QLabel* heading(QWidget* parent, bool server);
// A read-only list of one-line rows with the given columns and their widths at the design's scale.
QTreeWidget* reportList(QWidget* parent, const char* name, const QStringList& columns, const QList<int>& widths,
                        double scale);

} // namespace WizardParts
