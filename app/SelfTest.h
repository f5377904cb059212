#pragma once

#include <functional>

#include <wx/arrstr.h>
#include <wx/string.h>

class MainFrame;
class wxWindow;

// Start-up checks for headless test machines, printed one line each ("window: ...", "menu: ...",
// "item: ...", "log: ...", "end: ...").

// Answers every message box without showing it (Yes/No questions with No), printing
// "message: CAPTION: TEXT" for each, so that a run without a user cannot hang on one.
void answerMessageBoxes();

// Finds the main window by its title and prints it with its menus. False when it is missing.
bool printMainWindow(const wxString& expectedTitle);

// Runs the progress dialog on a job without images (the engine refuses it at once), prints the
// dialog's log and end code and closes it the way a user would. False when the dialog did not end.
bool runEmptyProcessing(wxWindow* parent);

// Puts `starFiles` and `output` into the file tree the way the menu commands do, presses Start and
// prints the progress dialog's log and end code once the run ended. With `cancel` it presses
// Cancel and answers Yes at the first "Analyzing image" or "Composing" line. False when the
// dialog never appeared or did not end.
bool runStacking(MainFrame& frame, const wxArrayString& starFiles, const wxString& output, bool cancel);

// The part of runStacking after the files are in: `pressStart` presses Start (directly or with
// simulated input), then the run is watched and printed the same way.
bool watchStacking(MainFrame& frame, bool cancel, const std::function<void()>& pressStart);

// Saves the project as "Save project as" does once its dialog was answered, prints the window's
// title ("saved: ..."), then presses Start and prints the run as runStacking does.
bool saveAndRunProject(MainFrame& frame, const wxString& projectPath);
