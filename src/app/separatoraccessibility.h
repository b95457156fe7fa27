#pragma once

#include <QStringList>

class QSplitter;

// Splitter handles and drawn lines reach a screen reader as separators, instead of nodes of
// no known role. A splitter's handles, which the user drags, are named by `names`, from the
// first handle between two panes on.
void NameSplitterHandles(QSplitter* splitter, const QStringList& names);
// Makes every horizontal or vertical line drawn by a QFrame a separator.
void InstallSeparatorAccessibility();
