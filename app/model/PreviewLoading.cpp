#include "PreviewLoading.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <wx/log.h>
#include <wx/wfstream.h>

#include "DecodeReply.h"
#include "DecoderProcess.h"
#include "ImageHeaderSize.h"
#include "PreviewRawDecoding.h"
#include "ReadOnlyFile.h"

namespace {

using velapp::ReadOnlyFile;

bool acceptableSize(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxPreviewPixels && height <= kMaxPreviewPixels / width;
}

bool endsWithLowerCase(const wxString& path, const char* ending)
{
    return path.Lower().EndsWith(ending);
}

// The longer side becomes the limit; integer arithmetic keeps it exact.
bool reduceToLimit(wxImage& image, int limit)
{
    const int width = image.GetWidth(), height = image.GetHeight();
    if (limit <= 0 || (width <= limit && height <= limit))
        return true;
    const int64_t longer = std::max(width, height);
    const auto reducedWidth = static_cast<int>(std::max<int64_t>(1, int64_t{width} * limit / longer));
    const auto reducedHeight = static_cast<int>(std::max<int64_t>(1, int64_t{height} * limit / longer));
    image.Rescale(reducedWidth, reducedHeight, wxIMAGE_QUALITY_HIGH);
    return image.IsOk();
}

// Only what the header declares is checked before the decoder allocates for it.
bool loadThroughHandlers(ReadOnlyFile& file, wxBitmapType type, wxImage& image)
{
    const auto declared = velapp::declaredImageSize(file);
    if (!declared || !acceptableSize(declared->width, declared->height))
        return false;
    wxFileInputStream stream(file.release());
    return stream.IsOk() && image.LoadFile(stream, type) && image.IsOk();
}

std::vector<unsigned char> wholeFile(const ReadOnlyFile& file)
{
    std::vector<unsigned char> bytes(file.size());
    if (!file.readAt(0, bytes.data(), bytes.size()))
        return {};
    return bytes;
}

bool stopping(const PreviewStopRequest& stopRequested) { return stopRequested && stopRequested(); }

PreviewLoadResult finished(wxImage image, int limit)
{
    PreviewLoadResult result;
    result.fullSize = image.GetSize();
    if (!reduceToLimit(image, limit))
        return {};
    result.image = image;
    result.ok = true;
    return result;
}

PreviewLoadResult decodeRawBytes(const unsigned char* data, size_t size, int limit,
                                 const PreviewStopRequest& stopRequested)
{
    if (!data || size == 0 || stopping(stopRequested))
        return {};
    wxImage image;
    const auto into = [&image](int width, int height) {
        return image.Create(width, height, false) ? image.GetData() : nullptr;
    };
    if (!velraw::decodeRawPreviewPixels(data, size, kMaxPreviewPixels, stopRequested, into) ||
        stopping(stopRequested))
        return {};
    return finished(image, limit);
}

// LibRaw crashes or hangs on some damaged files; in the decoding program that only fails the load.
PreviewLoadResult decodeRawInProgram(const std::string& program, const ReadOnlyFile& file, int limit,
                                     const PreviewStopRequest& stopRequested)
{
    velraw::DecoderProcess decoder(program, {"preview", std::to_string(kMaxPreviewPixels)}, file.descriptor(),
                                   velraw::decodeTimeLimit(file.size()), stopRequested);
    const velraw::ReplyReader read = [&decoder](void* into, size_t count) { return decoder.read(into, count); };
    const velraw::ReplyLimits limits{kMaxPreviewPixels, kMaxPreviewPixels, 3, 3, 1, 0};
    const auto header = velraw::readReplyHeader(read, limits);
    wxImage image;
    if (!header || !image.Create(static_cast<int>(header->width), static_cast<int>(header->height), false) ||
        !read(image.GetData(), header->pixelBytes()) || !velraw::readReplyEnd(read) ||
        decoder.finish() != velraw::kExitDecoded || stopping(stopRequested))
        return {};
    return finished(image, limit);
}

// Paths reach the file system as UTF-8, as the engine passes the same paths on.
std::string fileSystemPath(const wxString& path) { return std::string(path.utf8_str()); }

PreviewLoadResult loadImage(const wxString& path, int limit, const PreviewStopRequest& stopRequested)
{
    ReadOnlyFile file(fileSystemPath(path));
    if (!file.isOpen() || stopping(stopRequested))
        return {};
    if (endsWithLowerCase(path, ".tif") || endsWithLowerCase(path, ".jpg")) {
        wxImage image;
        if (!loadThroughHandlers(file, wxBITMAP_TYPE_ANY, image) || stopping(stopRequested))
            return {};
        return finished(image, limit);
    }
    if (file.size() == 0 || file.size() > kMaxRawPreviewFileBytes)
        return {};
    const std::string program = velraw::decoderProgramPath();
    if (!program.empty())
        return decodeRawInProgram(program, file, limit, stopRequested);
    // Without the decoding program (an odd installation) the file is decoded here, at the risk
    // that a damaged one takes the desktop program down.
    const std::vector<unsigned char> bytes = wholeFile(file);
    return decodeRawBytes(bytes.data(), bytes.size(), limit, stopRequested);
}

wxImage loadMask(const wxString& path)
{
    ReadOnlyFile file(fileSystemPath(path));
    wxImage mask;
    if (!file.isOpen() || !loadThroughHandlers(file, wxBITMAP_TYPE_PNG, mask))
        return {};
    return mask;
}

}  // namespace

PreviewLoadResult loadPreview(const wxString& path, int limit, const wxString& maskPath,
                              const PreviewStopRequest& stopRequested)
{
    try {
        // The handlers' messages would pile up as log windows; the preview shows its own text.
        wxLogNull quiet;
        PreviewLoadResult result = loadImage(path, limit, stopRequested);
        if (result.ok && !maskPath.empty())
            result.mask = loadMask(maskPath);
        if (stopping(stopRequested))
            return {};
        return result;
    } catch (...) {
        return {};
    }
}

PreviewLoadResult decodeRawPreview(const unsigned char* data, size_t size, int limit,
                                   const PreviewStopRequest& stopRequested)
{
    try {
        return decodeRawBytes(data, size, limit, stopRequested);
    } catch (...) {
        return {};
    }
}
