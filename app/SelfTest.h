#pragma once

#include <wx/string.h>

// A start-up check for headless test machines: finds the main window by its title and prints it
// with its menus (one line each: "window: ...", "menu: ...", "item: ..."). Returns false when the
// window or its menu bar is missing.
bool printMainWindow(const wxString& expectedTitle);
