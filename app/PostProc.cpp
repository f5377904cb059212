#include "PostProc.h"

#include <wx/cursor.h>
#include <wx/window.h>

void NullPostProc::activate(wxWindow& window) { window.SetCursor(wxNullCursor); }
