#pragma once

#include <wx/string.h>

class wxWindow;

// Start-up checks for headless test machines, printed one line each ("window: ...", "menu: ...",
// "item: ...", "log: ...", "end: ...").

// Finds the main window by its title and prints it with its menus. False when it is missing.
bool printMainWindow(const wxString& expectedTitle);

// Runs the progress dialog on a job without images (the engine refuses it at once), prints the
// dialog's log and end code and closes it the way a user would. False when the dialog did not end.
bool runEmptyProcessing(wxWindow* parent);
