#include "image/RawReader.h"

namespace velimage {

bool loadRaw(const std::wstring&, int, double, double, bool, RawImage&) { return false; }
bool decodeRaw(const uint8_t*, size_t, int, double, double, bool, RawImage&) { return false; }

}  // namespace velimage
