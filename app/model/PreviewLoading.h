#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include <wx/gdicmn.h>
#include <wx/image.h>
#include <wx/string.h>

// Loading one image for the preview: TIFF and JPEG through the registered wxImage handlers, every
// other file as camera RAW through LibRaw in the decoding program (a crash or hang there is a
// failed load), reduced to the screen, with an optional mask PNG. Display-free. Any thread may
// call it once the image handlers are registered (start-up, UI thread); it touches only the
// objects it creates and never throws.

// Files are read whole for LibRaw; larger ones are refused before anything is allocated.
constexpr uint64_t kMaxRawPreviewFileBytes = 536870912;
// The largest image accepted from any decoder (and from any header, before decoding).
constexpr int64_t kMaxPreviewPixels = 104857600;

struct PreviewLoadResult {
    bool ok = false;
    wxImage image;    // RGB, at most `limit` pixels in either direction
    wxSize fullSize;  // the file's image size before any reduction
    wxImage mask;     // the mask PNG; not valid when none was asked for or it failed to load
};

// Polled on the loading thread between decoding steps; true abandons the load (ok false).
using PreviewStopRequest = std::function<bool()>;

// `limit` of 0 or less keeps the decoded size. A mask is loaded only with an image.
PreviewLoadResult loadPreview(const wxString& path, int limit, const wxString& maskPath,
                              const PreviewStopRequest& stopRequested = {});

// The RAW decode from bytes in memory, in this process, without a mask: what the decoding
// program runs, and what loadPreview() falls back to when there is no decoding program.
PreviewLoadResult decodeRawPreview(const unsigned char* data, size_t size, int limit,
                                   const PreviewStopRequest& stopRequested = {});
