#pragma once

class QWidget;

// The program's help: pages of our own, shipped inside the program, shown in a help window
// at the topic of a context number (10 the main window, 100 to 117 the wizard's pages, 200
// the preferences).
namespace HelpBrowser {
void ShowContext(int context, QWidget* parent = nullptr);
}
