#pragma once

#include <string>

namespace velimage {

// An image the background saver can write to disk.
class ISaveable {
public:
    // True only when the file was written completely.
    virtual bool save(const std::wstring& path) = 0;
    virtual ~ISaveable() = default;
};

}  // namespace velimage
