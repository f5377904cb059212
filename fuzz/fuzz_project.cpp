// libFuzzer target: the project-file reader (size screen, XML, every element) over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ProjectFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velapp::LoadedProject project;
    // Relative paths resolve against a folder that holds no images.
    velapp::loadProjectFromBytes(std::string(reinterpret_cast<const char*>(data), size), L"/nonexistent/fuzz.vlp",
                                 project);
    return 0;
}
