#pragma once

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/imaglist.h>

// The program's small images, drawn once at start-up (no image files ship with the program).
// UI thread only.
enum IconId : int {
    IconApp,          // frame icon and About dialog, 48 px
    IconNewProject,
    IconExit,
    IconAbout,
    IconWebsite,
    IconStart,
    IconPreview,
    IconStarImages,
    IconBaseImage,
    IconNoiseImages,
    IconVignettingImages,
    IconOutput,
    IconFile,
    IconFileGroup,
    IconMissing,
    IconWarning,
    IconOn,
    IconOff,
    IconOpenProject,
    IconSaveProject,
    IconCount
};

void createIcons();
const wxBitmap& iconBitmap(IconId id);
wxIcon appIcon();
// A new image list of every 16 px icon, indexed by IconId (the 48 px app icon is scaled down).
wxImageList* createIconImageList();
