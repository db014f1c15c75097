// Random frame sizes, strides and pixel values through the plane
// conversions. Every buffer is allocated to the exact extent the conversion
// may touch, so AddressSanitizer catches a step past its end; the gaps inside
// (row padding of the source, the planes, the readback buffer and the output
// image) hold a canary that must survive and, under AddressSanitizer, are
// poisoned so that reading them is caught as well. Each result is checked
// against the layout computed here pixel by pixel.
//
// Input: width (0..320), height (0..48), four stride slacks, then pixel and
// float bytes, repeated cyclically as far as needed.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "pipeline/plane_convert.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUENDA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUENDA_ASAN 1
#endif
#endif
#ifdef QUENDA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr uint8_t canary = 0xC5;

// A heap block of exactly `bytes` bytes whose gaps can be poisoned and checked.
class ExactBuffer {
public:
    explicit ExactBuffer(size_t bytes) : bytes_(bytes), data_(new uint8_t[bytes ? bytes : 1]) {
        std::memset(data_.get(), canary, bytes_);
    }
    ~ExactBuffer() { unpoisonAll(); }
    uint8_t* data() { return data_.get(); }
    size_t size() const { return bytes_; }

    void addGap(size_t offset, size_t length) {
        if (length) gaps_.push_back({offset, length});
    }
    void poisonGaps() {
#ifdef QUENDA_ASAN
        for (const Gap& gap : gaps_) ASAN_POISON_MEMORY_REGION(data_.get() + gap.offset, gap.length);
#endif
    }
    void unpoisonAll() {
#ifdef QUENDA_ASAN
        ASAN_UNPOISON_MEMORY_REGION(data_.get(), bytes_);
#endif
    }
    // True when every gap still holds the canary.
    bool gapsIntact() {
        unpoisonAll();
        for (const Gap& gap : gaps_)
            for (size_t i = 0; i < gap.length; ++i)
                if (data_[gap.offset + i] != canary) return false;
        return true;
    }

private:
    struct Gap {
        size_t offset, length;
    };
    size_t bytes_;
    std::unique_ptr<uint8_t[]> data_;
    std::vector<Gap> gaps_;
};

// Bytes of the input, cycled.
class Source {
public:
    Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return size_ ? data_[at_++ % size_] : 0; }
    int16_t int16() { return static_cast<int16_t>(byte() | byte() << 8); }
    float float32() {
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(byte()) << (8 * i);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A rows x pitch image of T whose rows are `used` elements long: exact up to
// the end of the last row's used elements, the rest of each row a gap.
template <typename T>
struct RowImage {
    RowImage(int32_t rows, int32_t pitch, int32_t used)
        : pitch(pitch), buffer(rows > 0 ? (static_cast<size_t>(rows - 1) * pitch + used) * sizeof(T) : 0) {
        for (int32_t r = 0; r + 1 < rows; ++r)
            buffer.addGap((static_cast<size_t>(r) * pitch + used) * sizeof(T), static_cast<size_t>(pitch - used) * sizeof(T));
    }
    T* data() { return reinterpret_cast<T*>(buffer.data()); }
    T& at(int32_t row, int32_t column) { return data()[static_cast<size_t>(row) * pitch + column]; }
    int32_t pitch;
    ExactBuffer buffer;
};

int16_t expectedFromFloat(float f) {
    if (!(f >= -2147483648.0f && f < 2147483648.0f)) return 0;  // INT32_MIN keeps 0 in its low bits
    const int64_t truncated = static_cast<int64_t>(std::trunc(static_cast<double>(f)));
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(truncated) & 0xFFFF));
}

ChromaTexel pairOf(const PixelYC& a, const PixelYC& b) {
    const auto average = [](int32_t p, int32_t q) {
        const int32_t sum = p + q;
        return sum >= 0 ? sum / 2 : -((-sum + 1) / 2);  // toward minus infinity
    };
    return {encodeChroma(average(a.cb, b.cb)), encodeChroma(average(a.cr, b.cr))};
}

void checkPlanes(RowImage<PixelYC>& source, RowImage<uint16_t>& luma, RowImage<ChromaTexel>& chroma, int32_t w,
                 int32_t h) {
    const int32_t lumaWidth = lumaPlaneWidth(w), chromaWidth = chromaPlaneWidth(w);
    for (int32_t r = 0; r < planeHeight(h); ++r) {
        const int32_t j = r < planeBorder ? 0 : r >= h + planeBorder ? h - 1 : r - planeBorder;
        for (int32_t c = 0; c < lumaWidth; ++c) {
            const int32_t x = c < planeBorder ? 0 : c >= w + planeBorder ? w - 1 : c - planeBorder;
            FUZZ_CHECK(luma.at(r, c) == encodeLuma(source.at(j, x).y), "luma texel (%d, %d) of %dx%d", c, r, w, h);
        }
        const int32_t e = (w + planeBorder) / 2;
        for (int32_t c = 0; c < chromaWidth; ++c) {
            int32_t a, b;
            if (c < planeBorder / 2) a = 0, b = 1;
            else if (c >= e) a = w - 2, b = w - 1;
            else a = 2 * (c - planeBorder / 2), b = a + 1;
            if (w == 1) a = b = 0;  // one pixel pairs with itself
            const ChromaTexel want = pairOf(source.at(j, a), source.at(j, b));
            const ChromaTexel got = chroma.at(r, c);
            FUZZ_CHECK(got.cb == want.cb && got.cr == want.cr, "chroma texel (%d, %d) of %dx%d", c, r, w, h);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    const int32_t w = (data[0] | data[1] << 8) % 321;
    const int32_t h = data[2] % 49;
    const int32_t rowPixels = w + data[3] % 9;
    const int32_t lumaPitch = lumaPlaneWidth(w) + data[4] % 9;
    const int32_t chromaPitch = chromaPlaneWidth(w) + data[5] % 5;
    const int32_t alignedWidth = w + data[6] % 17;
    Source bytes(data + 7, size - 7);

    // Host frame -> planes.
    RowImage<PixelYC> source(h, rowPixels, w);
    for (int32_t j = 0; j < h; ++j)
        for (int32_t x = 0; x < w; ++x) source.at(j, x) = PixelYC{bytes.int16(), bytes.int16(), bytes.int16()};
    const int32_t planeRows = w > 0 && h > 0 ? planeHeight(h) : 0;
    RowImage<uint16_t> luma(planeRows, lumaPitch, lumaPlaneWidth(w));
    RowImage<ChromaTexel> chroma(planeRows, chromaPitch, chromaPlaneWidth(w));
    source.buffer.poisonGaps();
    luma.buffer.poisonGaps();
    chroma.buffer.poisonGaps();
    packFrameRows(source.data(), rowPixels, luma.data(), lumaPitch, chroma.data(), chromaPitch, w, h);
    packBorderRows(luma.data(), lumaPitch, chroma.data(), chromaPitch, w, h);
    FUZZ_CHECK(source.buffer.gapsIntact(), "source padding written");
    FUZZ_CHECK(luma.buffer.gapsIntact(), "luma pitch padding written");
    FUZZ_CHECK(chroma.buffer.gapsIntact(), "chroma pitch padding written");
    if (planeRows) checkPlanes(source, luma, chroma, w, h);

    // Readback -> hostResult -> output image.
    RowImage<float> readback(h, alignedWidth * 3, w * 3);
    for (int32_t j = 0; j < h; ++j)
        for (int32_t i = 0; i < w * 3; ++i) readback.at(j, i) = bytes.float32();
    ExactBuffer resultBuffer(static_cast<size_t>(w) * h * sizeof(PixelYC));
    auto* result = reinterpret_cast<PixelYC*>(resultBuffer.data());
    readback.buffer.poisonGaps();
    unpackResult(readback.data(), alignedWidth, w, h, result);
    FUZZ_CHECK(readback.buffer.gapsIntact(), "readback padding written");
    for (int32_t j = 0; j < h; ++j)
        for (int32_t x = 0; x < w; ++x) {
            const PixelYC& got = result[static_cast<size_t>(j) * w + x];
            FUZZ_CHECK(got.y == expectedFromFloat(readback.at(j, 3 * x)) &&
                           got.cb == expectedFromFloat(readback.at(j, 3 * x + 1)) &&
                           got.cr == expectedFromFloat(readback.at(j, 3 * x + 2)),
                       "result pixel (%d, %d) of %dx%d", x, j, w, h);
        }

    RowImage<PixelYC> output(h, rowPixels, w);
    output.buffer.poisonGaps();
    copyOut(result, w, h, output.data(), rowPixels);
    FUZZ_CHECK(output.buffer.gapsIntact(), "output pixels beyond the width written");
    for (int32_t j = 0; j < h; ++j)
        FUZZ_CHECK(std::memcmp(&output.at(j, 0), &result[static_cast<size_t>(j) * w], w * sizeof(PixelYC)) == 0,
                   "output row %d differs", j);
    return 0;
}
