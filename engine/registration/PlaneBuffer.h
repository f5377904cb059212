#pragma once

#include <cstddef>
#include <memory>

#include "parallel/LargeBuffer.h"

namespace velreg {

// A per-pixel working buffer that is left uninitialised on allocation: every pass that owns such a
// plane writes each element before reading it, and zero-filling hundreds of megabytes per frame
// would cost as much as a pass.
template <typename T>
class PlaneBuffer {
public:
    void resize(size_t count)
    {
        if (count == m_size && m_data)
            return;
        m_data.reset();
        m_data = velmem::allocateBuffer<T>(count);
        m_size = count;
    }
    void release()
    {
        m_data.reset();
        m_size = 0;
    }

    size_t size() const { return m_size; }
    T* data() { return m_data.get(); }
    const T* data() const { return m_data.get(); }
    T& operator[](size_t index) { return m_data[index]; }
    const T& operator[](size_t index) const { return m_data[index]; }

private:
    velmem::Buffer<T> m_data;
    size_t m_size = 0;
};

}  // namespace velreg
