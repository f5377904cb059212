#pragma once

#include "DecodeReply.h"
#include "image/ImageTypes.h"

namespace velimage {

// A decoded RAW frame as the decoding program hands it to the engine: a reply of 16-bit
// samples whose metadata is the frame's metadata list, entry by entry in order.

// The program's side: header, metadata, pixels and end mark to `fd`. False when the output
// does not take them.
bool writeRawReply(int fd, const RawImage& image);

// The engine's side: header, metadata and pixels into `image`, every size and count checked
// against the readers' limits before anything is allocated for it. The end mark is left to the
// caller. False on any fault; throws std::bad_alloc when memory runs out. A row sink sees the
// rows as they arrive.
class RowSink;
bool readRawReply(const velraw::ReplyReader& read, RawImage& image, RowSink* sink = nullptr);

}  // namespace velimage
