#pragma once

#include <cstdint>
#include <memory>

#include "image/ISaveable.h"
#include "image/Image.h"

namespace velimage {

// The 8-bit working image of the decoders and the JPEG writer.
class Image8 : public Image<uint8_t> {};

// An 8-bit image decoded from a JPEG held in memory; the decoder state is owned while decoding.
class JpegImage : public Image8 {
public:
    struct DecoderState;  // defined by the JPEG reader
    using DecoderHandle = std::unique_ptr<DecoderState, void (*)(DecoderState*)>;

    JpegImage();
    ~JpegImage() override;
    void release() override;
    DecoderState* decoderState() { return m_decoder.get(); }
    void setDecoderState(DecoderHandle state) { m_decoder = std::move(state); }

private:
    DecoderHandle m_decoder;
};

// A decoded 16-bit frame that can also be written as a 16-bit TIFF file.
class TiffImage : public Image<uint16_t>, public ISaveable {
public:
    bool save(const std::wstring& path) override;
};

// A frame decoded from a camera RAW file; `scale` is working state of the decoder.
class RawImage : public Image<uint16_t> {
public:
    float scale() const { return m_scale; }
    void setScale(float scale) { m_scale = scale; }

private:
    float m_scale = 0.0f;
};

// By convention 4 channels: the frame's RGB plus its prepared sky-mask value per pixel.
class MaskAttachedImage : public Image<uint16_t> {};

// By convention 4 channels: aligned RGB plus the pixel's weight. Saves as a raw dump of exactly
// width × height × channels × 2 bytes in memory order, for two-pass integration.
class PostWeightedImage : public Image<uint16_t>, public ISaveable {
public:
    bool save(const std::wstring& path) override;
};

// The accumulation image: sums of 16-bit samples, one float weight per pixel shared by all
// channels, the maximum weight and whether it has been normalised (used by the arithmetic stages).
template <typename T>
class WeightedImage : public Image<T> {
public:
    void release() override;
    // Allocates pixels like Image does and always a fresh weight plane.
    void allocate(int32_t width, int32_t height, int32_t channels) override;
    // Zeroes the pixels and sets every weight to 1.0.
    void clear() override;

    float* weights() { return m_weights.get(); }
    const float* weights() const { return m_weights.get(); }
    float* weightRow(int32_t y) { return m_weights.get() + static_cast<size_t>(y) * this->m_width; }
    const float* weightRow(int32_t y) const { return m_weights.get() + static_cast<size_t>(y) * this->m_width; }

    float maxWeight() const { return m_maxWeight; }
    void setMaxWeight(float weight) { m_maxWeight = weight; }
    bool normalized() const { return m_normalized; }
    void setNormalized(bool normalized) { m_normalized = normalized; }

private:
    std::unique_ptr<float[]> m_weights;
    float m_maxWeight = 0.0f;
    bool m_normalized = false;
};

extern template class WeightedImage<uint32_t>;
using AccumulationImage = WeightedImage<uint32_t>;

}  // namespace velimage
