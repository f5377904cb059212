#include "corrections/ToneTable.h"

#include <cmath>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {
constexpr float WhiteF = 16777215.0f;
constexpr int32_t EntriesPerBand = 1 << 14;
constexpr size_t HugePage = 2u << 20;

uint32_t* allocateEntries()
{
    const size_t bytes = ToneTable::Size * sizeof(uint32_t);
    void* memory = std::aligned_alloc(HugePage, bytes);
    if (!memory)
        throw std::bad_alloc();
    madvise(memory, bytes, MADV_HUGEPAGE);  // a hint only: failure leaves ordinary pages
    return static_cast<uint32_t*>(memory);
}
}  // namespace

void ToneTable::Release::operator()(uint32_t* entries) const { std::free(entries); }

float toneCurveValue(ToneCurve curve, float t)
{
    switch (curve) {
    case ToneCurve::Srgb: return t <= 0.00304f ? 12.92f * t : 1.055f * std::pow(t, 0.41666666f) - 0.055f;
    case ToneCurve::AdobeRgb: return std::pow(t, 1.0f / 2.199219f);
    case ToneCurve::HighDynamicRange: return std::pow(t, 1.0f / 1.2f);
    }
    return t;
}

ToneTable::ToneTable(ToneCurve curve) : m_entries(allocateEntries())
{
    uint32_t* entries = m_entries.get();
    velthread::parallelRows(static_cast<int32_t>(Size / EntriesPerBand), [&](int32_t begin, int32_t end) {
        for (uint32_t i = static_cast<uint32_t>(begin) * EntriesPerBand; i < static_cast<uint32_t>(end) * EntriesPerBand;
             ++i)
            entries[i] = velstack::roundHalfUp(toneCurveValue(curve, static_cast<float>(i) / WhiteF) * WhiteF);
    });
}

void ToneTable::apply(AccumulationImage& image) const
{
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = (*this)[row[i]];
        }
    });
}

}  // namespace veltone
