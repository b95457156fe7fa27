#pragma once

// Opens a window with the browsing widgets side by side (the hidden --widget-demo command)
// and runs the event loop until it is closed; returns the exit code.
int RunWidgetDemo(int argc, char* argv[]);
