#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

class MainFrame;

// Self-tests of the preview on a virtual display ("step: ...", "fit: ...", "drawn: ...",
// "stored: ...", "run: ..." and "loaded: ..." lines, plus those of watchStacking).

// Adds the star files, waits for the base image in the preview and saves the preview as
// PREFIX-base.png; then draws a boundary line, a gradient and a brush mask with simulated drags,
// saving the preview after each (PREFIX-boundary.png, -gradient.png, -brush.png, and
// -highlight.png with "Auxiliary highlight" on) and the mask as PREFIX-mask.png; then, with
// "Enhance star light" on, runs the job once per tool into PREFIX-boundary.tif, -gradient.tif
// and -mask.tif; at last saves the project as PREFIX.vlp, starts a new one and opens it again.
// False when a step did not take.
bool runPreviewJob(MainFrame& frame, const wxArrayString& starFiles, const wxString& prefix);

// Shows each image in the preview in turn while asking the window to repaint, and prints for
// each how many times it painted during the load, what it shows and its message.
bool runPreviewLoads(MainFrame& frame, const wxArrayString& images);
