#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "pipeline/plane_convert.h"

namespace {

// Pitch padding, different in every row; must survive.
uint16_t padOfRow(int32_t r) { return static_cast<uint16_t>(0xA000 + r); }
// Source pixels beyond the width.
constexpr int16_t kForeign = 0x1234;

// A source frame with extra pixels at the end of every row, and both planes
// with pitches wider than the planes themselves.
struct Packed {
    int32_t width, height, rowPixels, lumaPitch, chromaPitch;
    std::vector<PixelYC> source;
    std::vector<uint16_t> luma;
    std::vector<ChromaTexel> chroma;

    Packed(int32_t w, int32_t h, const std::function<PixelYC(int32_t x, int32_t j)>& pixel)
        : width(w), height(h), rowPixels(w + 3), lumaPitch(lumaPlaneWidth(w) + 5),
          chromaPitch(chromaPlaneWidth(w) + 3),
          source(static_cast<size_t>(rowPixels) * h, PixelYC{kForeign, kForeign, kForeign}),
          luma(static_cast<size_t>(lumaPitch) * planeHeight(h)),
          chroma(static_cast<size_t>(chromaPitch) * planeHeight(h)) {
        for (int32_t r = 0; r < planeHeight(h); ++r) {
            std::fill_n(&luma[r * lumaPitch], lumaPitch, padOfRow(r));
            std::fill_n(&chroma[r * chromaPitch], chromaPitch, ChromaTexel{padOfRow(r), padOfRow(r)});
        }
        for (int32_t j = 0; j < h; ++j)
            for (int32_t x = 0; x < w; ++x) source[j * rowPixels + x] = pixel(x, j);
        packFrameRows(source.data(), rowPixels, luma.data(), lumaPitch, chroma.data(), chromaPitch,
                      w, h);
        packBorderRows(luma.data(), lumaPitch, chroma.data(), chromaPitch, w, h);
    }
    const PixelYC& at(int32_t x, int32_t j) const { return source[j * rowPixels + x]; }
    uint16_t lumaAt(int32_t c, int32_t r) const { return luma[r * lumaPitch + c]; }
    ChromaTexel chromaAt(int32_t c, int32_t r) const { return chroma[r * chromaPitch + c]; }
};

// Every pixel distinct, cb and cr of mixed sign.
PixelYC ramp(int32_t x, int32_t j) {
    return PixelYC{static_cast<int16_t>(100 * j + x), static_cast<int16_t>(37 * x - 11 * j - 50),
                   static_cast<int16_t>(-29 * x + 13 * j + 7)};
}

int32_t clampTo(int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); }

ChromaTexel expectedPair(const PixelYC& a, const PixelYC& b) {
    auto avg = [](int32_t p, int32_t q) {
        return static_cast<int32_t>(std::floor((p + q) / 2.0));
    };
    return ChromaTexel{encodeChroma(avg(a.cb, b.cb)), encodeChroma(avg(a.cr, b.cr))};
}

// The pixel pair that chroma column c of a width-w plane stands for.
std::pair<int32_t, int32_t> pairOfColumn(int32_t c, int32_t w) {
    const int32_t e = (w + 16) / 2;
    if (c < 8) return {0, std::min(1, w - 1)};
    if (c >= e) return {std::max(w - 2, 0), w - 1};
    return {2 * (c - 8), 2 * (c - 8) + 1};
}

void expectMatchesLayout(const Packed& p) {
    const int32_t w = p.width, h = p.height;
    for (int32_t r = 0; r < planeHeight(h); ++r) {
        const int32_t j = clampTo(r - 16, 0, h - 1);
        for (int32_t c = 0; c < lumaPlaneWidth(w); ++c)
            ASSERT_EQ(p.lumaAt(c, r), encodeLuma(p.at(clampTo(c - 16, 0, w - 1), j).y))
                << "luma texel (" << c << ", " << r << ")";
        for (int32_t c = lumaPlaneWidth(w); c < p.lumaPitch; ++c)
            ASSERT_EQ(p.lumaAt(c, r), padOfRow(r)) << "luma padding (" << c << ", " << r << ")";
        for (int32_t c = 0; c < chromaPlaneWidth(w); ++c) {
            const auto pair = pairOfColumn(c, w);
            const ChromaTexel want = expectedPair(p.at(pair.first, j), p.at(pair.second, j));
            ASSERT_EQ(p.chromaAt(c, r).cb, want.cb) << "chroma cb (" << c << ", " << r << ")";
            ASSERT_EQ(p.chromaAt(c, r).cr, want.cr) << "chroma cr (" << c << ", " << r << ")";
        }
        for (int32_t c = chromaPlaneWidth(w); c < p.chromaPitch; ++c)
            ASSERT_EQ(p.chromaAt(c, r).cb, padOfRow(r)) << "chroma padding (" << c << ", " << r << ")";
    }
}

TEST(PlaneEncodingTest, CodesAtAndBeyondRangeWrap) {
    struct Case { int32_t value; uint16_t luma; uint16_t chroma; };
    const Case cases[] = {
        {0, 16384, 32768},     {-2048, 0, 16384},      {6143, 65528, 16376},
        {6144, 0, 16384},      {-2049, 65528, 16376},  {-4096, 49152, 0},
        {4095, 49144, 65528},  {4096, 49152, 0},       {-4097, 49144, 65528},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeLuma(c.value), c.luma) << "luma " << c.value;
        EXPECT_EQ(encodeChroma(c.value), c.chroma) << "chroma " << c.value;
    }
}

TEST(PackFrameTest, ChromaPairAveragesTowardMinusInfinity) {
    struct Case { int16_t a, b; uint16_t code; };
    const Case cases[] = {
        {-1, 0, 32760}, {3, 4, 32792}, {-3, 0, 32752}, {0, -3, 32752}, {-1, -2, 32752}, {5, -2, 32776},
    };
    for (const Case& c : cases) {
        // Two pixels: cb carries the pair, cr carries it swapped.
        Packed p(2, 1, [&c](int32_t x, int32_t) {
            return PixelYC{0, x == 0 ? c.a : c.b, x == 0 ? c.b : c.a};
        });
        for (int32_t col = 0; col < chromaPlaneWidth(2); ++col) {
            EXPECT_EQ(p.chromaAt(col, 16).cb, c.code) << c.a << "," << c.b << " column " << col;
            EXPECT_EQ(p.chromaAt(col, 16).cr, c.code) << c.a << "," << c.b << " column " << col;
        }
    }
}

TEST(PackFrameTest, ChromaBorderColumnsForEvenAndOddWidths) {
    struct Case { int32_t width; int32_t pairs[18][2]; };
    const Case cases[] = {
        {4, {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},
             {2, 3}, {2, 3}, {2, 3}, {2, 3}, {2, 3}, {2, 3}, {2, 3}, {2, 3}, {2, 3}}},
        {5, {{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1},
             {2, 3}, {3, 4}, {3, 4}, {3, 4}, {3, 4}, {3, 4}, {3, 4}, {3, 4}, {3, 4}}},
    };
    for (const Case& c : cases) {
        Packed p(c.width, 2, ramp);
        ASSERT_EQ(chromaPlaneWidth(c.width), 18) << "W = " << c.width;
        for (int32_t r : {0, 16, 17, 33}) {
            const int32_t j = clampTo(r - 16, 0, 1);
            for (int32_t col = 0; col < 18; ++col) {
                const ChromaTexel want = expectedPair(p.at(c.pairs[col][0], j), p.at(c.pairs[col][1], j));
                EXPECT_EQ(p.chromaAt(col, r).cb, want.cb) << "W = " << c.width << " column " << col << " row " << r;
                EXPECT_EQ(p.chromaAt(col, r).cr, want.cr) << "W = " << c.width << " column " << col << " row " << r;
            }
        }
    }
}

TEST(PackFrameTest, LumaCornersRepeatCornerPixels) {
    const int32_t w = 6, h = 3;
    Packed p(w, h, ramp);
    EXPECT_EQ(p.lumaAt(0, 0), encodeLuma(p.at(0, 0).y));
    EXPECT_EQ(p.lumaAt(w + 31, h + 31), encodeLuma(p.at(w - 1, h - 1).y));
    EXPECT_EQ(p.lumaAt(w + 31, 0), encodeLuma(p.at(w - 1, 0).y));
    EXPECT_EQ(p.lumaAt(0, h + 31), encodeLuma(p.at(0, h - 1).y));
    EXPECT_EQ(p.lumaAt(16, 16), encodeLuma(p.at(0, 0).y));
    EXPECT_EQ(p.lumaAt(w + 15, h + 15), encodeLuma(p.at(w - 1, h - 1).y));
}

// Whole planes against the layout, for widths of both parities. The source
// stride is wider than the frame; its extra pixels must never reach the planes.
TEST(PackFrameTest, WholePlanesMatchLayoutForSmallSizes) {
    for (int32_t w = 1; w <= 9; ++w)
        for (int32_t h = 1; h <= 3; ++h) {
            SCOPED_TRACE(testing::Message() << "W = " << w << ", H = " << h);
            Packed p(w, h, ramp);
            expectMatchesLayout(p);
        }
}

TEST(PackFrameTest, OnePixelWidePairsThePixelWithItself) {
    Packed p(1, 2, ramp);
    ASSERT_EQ(chromaPlaneWidth(1), 16);
    for (int32_t r = 0; r < planeHeight(2); ++r) {
        const int32_t j = clampTo(r - 16, 0, 1);
        const ChromaTexel want = expectedPair(p.at(0, j), p.at(0, j));
        for (int32_t c = 0; c < 16; ++c) {
            ASSERT_EQ(p.chromaAt(c, r).cb, want.cb) << "column " << c << " row " << r;
            ASSERT_EQ(p.chromaAt(c, r).cr, want.cr) << "column " << c << " row " << r;
        }
        for (int32_t c = 0; c < 33; ++c)
            ASSERT_EQ(p.lumaAt(c, r), encodeLuma(p.at(0, j).y)) << "column " << c << " row " << r;
    }
}

TEST(UnpackResultTest, TruncatesTowardZeroAndKeepsLow16Bits) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case { float value; int16_t stored; };
    const Case cases[] = {
        {100.9f, 100},   {-0.5f, 0},       {32767.9f, 32767},  {40000.0f, -25536},
        {99.9999f, 99},  {-3.7f, -3},      {-40000.0f, 25536}, {65541.0f, 5},
        {std::nanf(""), 0}, {inf, 0},      {-inf, 0},          {3e9f, 0},
        {-3e9f, 0},      {2147483520.0f, -128}, {-2147483648.0f, 0}, {2147483648.0f, 0},
    };
    const int32_t n = static_cast<int32_t>(sizeof(cases) / sizeof(cases[0]));
    // One case per pixel of a 2-row result; each lands in y, cb or cr in turn.
    const int32_t w = (n + 1) / 2, h = 2, aligned = w + 3;
    std::vector<float> readback(static_cast<size_t>(aligned) * 3 * (h + 1), 7.0f);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = i % w, j = i / w;
        readback[(j * aligned + x) * 3 + i % 3] = cases[i].value;
    }
    std::vector<PixelYC> result(static_cast<size_t>(w) * h + 1, PixelYC{-1, -1, -1});
    unpackResult(readback.data(), aligned, w, h, result.data());
    for (int32_t i = 0; i < n; ++i) {
        const PixelYC& px = result[i];
        const int16_t fields[3] = {px.y, px.cb, px.cr};
        EXPECT_EQ(fields[i % 3], cases[i].stored) << "value " << cases[i].value;
        EXPECT_EQ(fields[(i + 1) % 3], 7) << "neighbour of " << cases[i].value;
    }
    EXPECT_EQ(result[w * h].y, -1) << "wrote past the result";
}

// The rule, written out: truncation toward zero, INT32_MIN for NaN and values
// outside int32, then the low 16 bits.
int16_t expectedStored(float f) {
    const double d = f;
    int64_t whole = INT32_MIN;
    if (d >= -2147483648.0 && d < 2147483648.0) whole = static_cast<int64_t>(std::trunc(d));
    const uint16_t low = static_cast<uint16_t>(static_cast<uint64_t>(whole) & 0xFFFFu);
    return static_cast<int16_t>(low >= 0x8000 ? static_cast<int32_t>(low) - 0x10000 : low);
}

// Rows long and short, so that every value reaches every lane of a wide
// conversion and the pixels after it; elements past the width stay unread.
TEST(UnpackResultTest, EveryWidthFollowsTheRule) {
    const float special[] = {std::nanf(""), std::numeric_limits<float>::infinity(), 3e9f, -3e9f,
                             2147483520.0f, -2147483648.0f, 2147483648.0f, 40000.0f, -40000.0f,
                             -0.5f, 99.9999f, -3.7f, 65541.0f, 32767.9f, -32768.5f};
    for (int32_t w = 1; w <= 41; w += 5) {
        const int32_t h = 3, aligned = (w + 15) / 16 * 16;
        std::vector<float> readback(static_cast<size_t>(aligned) * 3 * h, std::nanf(""));
        std::vector<float> used;
        for (int32_t j = 0; j < h; ++j)
            for (int32_t i = 0; i < 3 * w; ++i) {
                const size_t n = used.size();
                const float value = n % 3 == 0 ? special[(n / 3) % 15] : static_cast<float>(n) * 731.37f - 20000.0f;
                readback[static_cast<size_t>(j) * aligned * 3 + i] = value;
                used.push_back(value);
            }
        std::vector<PixelYC> result(static_cast<size_t>(w) * h + 1, PixelYC{-1, -1, -1});
        unpackResult(readback.data(), aligned, w, h, result.data());
        for (size_t n = 0; n < used.size(); ++n) {
            const PixelYC& px = result[n / 3];
            const int16_t fields[3] = {px.y, px.cb, px.cr};
            EXPECT_EQ(fields[n % 3], expectedStored(used[n])) << "width " << w << ", value " << used[n];
        }
        EXPECT_EQ(result[static_cast<size_t>(w) * h].y, -1) << "width " << w << ": wrote past the result";
    }
}

TEST(CopyOutTest, LeavesPixelsBeyondWidthUntouched) {
    const int32_t w = 3, h = 4, rowPixels = 5;
    std::vector<PixelYC> result(w * h);
    for (int32_t i = 0; i < w * h; ++i)
        result[i] = PixelYC{static_cast<int16_t>(i), static_cast<int16_t>(-i), static_cast<int16_t>(2 * i)};
    const PixelYC host{-7, -7, -7};
    std::vector<PixelYC> output(rowPixels * (h + 1), host);
    copyOut(result.data(), w, h, output.data(), rowPixels);
    for (int32_t j = 0; j <= h; ++j)
        for (int32_t x = 0; x < rowPixels; ++x) {
            const PixelYC& got = output[j * rowPixels + x];
            const PixelYC& want = (j < h && x < w) ? result[j * w + x] : host;
            EXPECT_TRUE(got.y == want.y && got.cb == want.cb && got.cr == want.cr)
                << "pixel (" << x << ", " << j << ")";
        }
}

}  // namespace
