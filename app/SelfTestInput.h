#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

class MainFrame;

// Self-tests that work the main window the way a user does, with simulated mouse and keyboard
// input on a virtual display ("step: ..." and "settings: ..." lines, then those of runStacking).

// Puts the files in, then chooses a fixed set of options through the parameter tree and the
// panels (double-clicks, a context menu, radio buttons, check boxes, slider keys), clicks Start
// and waits for the run. False when a step did not take or the run did not end.
bool runOptionsJob(MainFrame& frame, const wxArrayString& starFiles, const wxString& output);

// Saves pictures of the whole screen with a few option panels shown, as PREFIX-NAME.png.
bool saveScreenshots(MainFrame& frame, const wxArrayString& starFiles, const wxString& prefix);
