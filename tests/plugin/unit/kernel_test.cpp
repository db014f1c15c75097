// The four denoise kernels, compiled and run on the Direct3D 11 stand-in over
// planes made by the plane conversion, against the CPU reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gpu/kernels.h"
#include "gpu/shader_build.h"
#include "gpu/strength.h"
#include "pipeline/plane_convert.h"
#include "tests/support/kernel_harness.h"
#include "tests/support/nlm_reference.h"

namespace {

using kernel_harness::ComRef;
using kernel_harness::KernelHarness;
using kernel_harness::Params;
using kernel_harness::Pass;
using nlm_reference::Plane;

enum class Kind { Luma, Chroma };
enum class Form { Runtime, Fixed };

const char* kindName(Kind kind) { return kind == Kind::Luma ? "luma" : "chroma"; }
const char* formName(Form form) { return form == Form::Runtime ? "runtime" : "fixed"; }

int aligned(int v) { return (v + 15) / 16 * 16; }

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<PixelYC> pixels;
    const PixelYC& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A smooth ramp with noise of about `noise` host units, different per seed.
Frame noisyFrame(int width, int height, unsigned seed, int noise = 120) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-noise, noise);
    Frame f{width, height, std::vector<PixelYC>(static_cast<size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            PixelYC& p = f.pixels[static_cast<size_t>(y) * width + x];
            p.y = static_cast<int16_t>(1200 + 40 * x + 25 * y + jitter(rng));
            p.cb = static_cast<int16_t>(-300 + 20 * x - 10 * y + jitter(rng));
            p.cr = static_cast<int16_t>(250 - 15 * x + 12 * y + jitter(rng));
        }
    }
    return f;
}

Frame flatFrame(int width, int height, PixelYC value) {
    return Frame{width, height, std::vector<PixelYC>(static_cast<size_t>(width) * height, value)};
}

struct Planes {
    Plane luma;
    Plane chroma;
};

// The frame's two planes, made by the plug-in's own conversion.
Planes pack(const Frame& f) {
    Planes p;
    p.luma.width = lumaPlaneWidth(f.width);
    p.chroma.width = chromaPlaneWidth(f.width);
    p.luma.height = p.chroma.height = planeHeight(f.height);
    p.luma.channels = 1;
    p.chroma.channels = 2;
    p.luma.codes.resize(static_cast<size_t>(p.luma.width) * p.luma.height);
    std::vector<ChromaTexel> chroma(static_cast<size_t>(p.chroma.width) * p.chroma.height);
    packFrameRows(f.pixels.data(), f.width, p.luma.codes.data(), p.luma.width, chroma.data(), p.chroma.width,
                  f.width, f.height);
    packBorderRows(p.luma.codes.data(), p.luma.width, chroma.data(), p.chroma.width, f.width, f.height);
    p.chroma.codes.resize(chroma.size() * 2);
    std::memcpy(p.chroma.codes.data(), chroma.data(), chroma.size() * sizeof(ChromaTexel));
    return p;
}

// The clip frames that fill the 16 bound views: frame n + k clamped to the
// clip at element T + k, then the centre frame up to element 15.
std::vector<int> windowFrames(int centre, int T, int clipLength) {
    std::vector<int> frames(16);
    for (int k = -T; k <= T; ++k) frames[k + T] = std::max(std::min(centre + k, clipLength - 1), 0);
    for (int e = 2 * T + 1; e < 16; ++e) frames[e] = frames[T];
    return frames;
}

std::string h2Text(int dispersion) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(dispersionStrength(dispersion)));
    return text;
}

// One kernel run over frame `centre` of a clip: outBuff from the GPU and from
// the reference, three floats per element.
struct Result {
    std::vector<float> gpu;
    std::vector<float> reference;
    int alignedWidth = 0;
    int alignedHeight = 0;
};

struct Search {
    int R = 3;
    int T = 1;
    int dispersion = 50;
};

class KernelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { harness_ = new KernelHarness; }
    static void TearDownTestSuite() {
        shaders_.clear();
        delete harness_;
        harness_ = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(harness_->ok()) << harness_->error(); }

    // The kernel of that kind and form, compiled once per process; the fixed
    // forms with the macros the plug-in defines for these track values.
    static ID3D11ComputeShader* shader(Kind kind, Form form, const Search& s) {
        std::string key = std::string(kindName(kind)) + formName(form);
        if (form == Form::Fixed)
            key += std::to_string(s.R) + "/" + std::to_string(s.T) + "/" + std::to_string(s.dispersion);
        auto found = shaders_.find(key);
        if (found != shaders_.end()) return found->second.get();
        std::string log;
        ComRef<ID3D11ComputeShader> made;
        if (form == Form::Runtime) {
            made = harness_->compile(kind == Kind::Luma ? lumaRuntimeSource : chromaRuntimeSource, nullptr, &log);
        } else {
            const FixedMacros<D3D10_SHADER_MACRO> fixed(s.R, s.T, s.dispersion);
            made = harness_->compile(kind == Kind::Luma ? lumaFixedSource : chromaFixedSource, fixed.macros, &log);
        }
        EXPECT_TRUE(made) << key << ":\n" << log;
        shaders_[key] = made;
        return made.get();
    }

    // The pass and the reference dispatch of one kernel, as the GPU pass sets
    // them up for frame `centre` of the clip.
    static void prepare(const std::vector<Planes>& clip, std::vector<ComRef<ID3D11ShaderResourceView>>& views,
                        int centre, Kind kind, Form form, const Search& s, int alignedWidth, int alignedHeight,
                        Pass* pass, nlm_reference::Dispatch* reference) {
        std::vector<int> frames = windowFrames(centre, s.T, static_cast<int>(clip.size()));
        views.resize(clip.size());
        pass->shader = shader(kind, form, s);
        pass->views.clear();
        pass->params = Params{s.R, s.T, alignedWidth, dispersionStrength(s.dispersion)};
        reference->textureArray.clear();
        for (int e = 0; e < 16; ++e) {
            int f = frames[e];
            const Plane& plane = kind == Kind::Luma ? clip[f].luma : clip[f].chroma;
            if (!views[f]) views[f] = harness_->upload(plane);
            pass->views.push_back(views[f].get());
            if (form == Form::Runtime || e <= 2 * s.T) reference->textureArray.push_back(&plane);
        }
        reference->reference = form == Form::Runtime ? 15 : s.T;
        reference->spaceRadius = s.R;
        reference->timeRadius = s.T;
        // The fixed forms see the strength as the text of H2.
        reference->h2 = form == Form::Runtime ? pass->params.h2 : std::strtof(h2Text(s.dispersion).c_str(), nullptr);
        reference->width = alignedWidth;
        reference->groupsX = alignedWidth / 16;
        reference->groupsY = alignedHeight / 16;
    }

    // The kernel's output over frame `centre`, and the reference's unless the
    // caller checks against the input instead.
    static Result filter(const std::vector<Frame>& frames, int centre, Kind kind, Form form, const Search& s,
                         bool withReference = true) {
        std::vector<Planes> clip;
        for (const Frame& f : frames) clip.push_back(pack(f));
        Result r;
        r.alignedWidth = aligned(frames[0].width);
        r.alignedHeight = aligned(frames[0].height);
        std::vector<ComRef<ID3D11ShaderResourceView>> views;
        Pass pass;
        nlm_reference::Dispatch reference;
        prepare(clip, views, centre, kind, form, s, r.alignedWidth, r.alignedHeight, &pass, &reference);
        r.gpu = harness_->run({pass}, r.alignedWidth, r.alignedHeight);
        r.reference.assign(r.gpu.size(), 0.0f);
        if (!withReference) return r;
        if (kind == Kind::Luma)
            nlm_reference::lumaKernel(reference, r.reference);
        else
            nlm_reference::chromaKernel(reference, r.reference);
        return r;
    }

    static KernelHarness* harness_;
    static std::map<std::string, ComRef<ID3D11ComputeShader>> shaders_;
};

KernelHarness* KernelTest::harness_ = nullptr;
std::map<std::string, ComRef<ID3D11ComputeShader>> KernelTest::shaders_;

// Components of an outBuff element that the kernel of that kind writes.
std::vector<int> writtenComponents(Kind kind) {
    return kind == Kind::Luma ? std::vector<int>{0} : std::vector<int>{1, 2};
}

// Largest difference between the GPU's and the reference's written components
// over the whole aligned area, with where it occurred.
std::string largestDifference(const Result& r, Kind kind, float* largest) {
    *largest = 0.0f;
    std::string where = "nowhere";
    for (size_t e = 0; e < r.gpu.size() / 3; ++e) {
        for (int c : writtenComponents(kind)) {
            float diff = std::fabs(r.gpu[e * 3 + c] - r.reference[e * 3 + c]);
            if (!(diff <= *largest)) {
                *largest = std::isnan(diff) ? INFINITY : diff;
                where = "element (" + std::to_string(e % r.alignedWidth) + ", " + std::to_string(e / r.alignedWidth) +
                        ") component " + std::to_string(c) + ": gpu " + std::to_string(r.gpu[e * 3 + c]) +
                        ", reference " + std::to_string(r.reference[e * 3 + c]);
            }
        }
    }
    return where;
}

// How far two 32-bit float evaluations of the same sums may drift apart, in
// host units: the output scaling multiplies the rounding of value / sum by
// 8191.875, and the rounding grows with the number of candidates.
float floatTolerance(const Search& s) {
    int candidates = (2 * s.R + 1) * (2 * s.R + 1) * (2 * s.T + 1);
    return 0.01f + 5e-5f * candidates;
}

struct ReferenceCase {
    const char* name;
    Kind kind;
    Form form;
    int width;
    int height;
    int clipLength;
    int centre;
    Search search;
};

TEST_F(KernelTest, MatchesReference) {
    const Kind L = Kind::Luma, C = Kind::Chroma;
    const Form RT = Form::Runtime, FX = Form::Fixed;
    const ReferenceCase cases[] = {
        {"default tracks", L, RT, 40, 24, 5, 2, {3, 1, 50}},
        {"default tracks", C, RT, 40, 24, 5, 2, {3, 1, 50}},
        {"default tracks", L, FX, 40, 24, 5, 2, {3, 1, 50}},
        {"default tracks", C, FX, 40, 24, 5, 2, {3, 1, 50}},
        {"dispersion 0", L, RT, 40, 24, 5, 2, {2, 1, 0}},
        {"dispersion 100", C, FX, 40, 24, 5, 2, {2, 1, 100}},
        {"odd width 37", L, RT, 37, 21, 3, 1, {3, 1, 60}},
        {"odd width 37", C, RT, 37, 21, 3, 1, {3, 1, 60}},
        {"odd width 33", L, FX, 33, 17, 3, 1, {2, 1, 40}},
        {"odd width 33", C, FX, 33, 17, 3, 1, {2, 1, 40}},
        {"R 8 reaches the chroma side border", C, RT, 24, 16, 3, 1, {8, 0, 50}},
        {"R 16 loads outside the plane", L, RT, 20, 12, 3, 1, {16, 0, 50}},
        {"R 16 loads outside the plane", C, RT, 20, 12, 3, 1, {16, 0, 50}},
        {"R 16 loads outside the plane", L, FX, 20, 12, 3, 1, {16, 1, 30}},
        {"R 16 loads outside the plane", C, FX, 20, 12, 3, 1, {16, 1, 30}},
        {"window clamped at the first frame", L, RT, 40, 24, 3, 0, {2, 2, 50}},
        {"window clamped at the first frame", C, FX, 40, 24, 3, 0, {2, 2, 50}},
        {"window clamped at the last frame", C, RT, 40, 24, 3, 2, {2, 1, 50}},
        {"window clamped at the last frame", L, FX, 40, 24, 3, 2, {2, 1, 50}},
        {"R 1: the reference patch shares loads with the window", L, FX, 40, 24, 3, 1, {1, 0, 50}},
        {"R 1: the reference patch shares loads with the window", C, FX, 40, 24, 3, 1, {1, 1, 50}},
        {"T 0 in the one-frame row search", L, RT, 40, 24, 3, 1, {3, 0, 50}},
        {"T 0 in the one-frame row search", C, RT, 40, 24, 3, 1, {3, 0, 50}},
        {"R 5, T 1 in the three-frame row search", L, RT, 40, 24, 3, 1, {5, 1, 50}},
        {"R 5, T 1 in the three-frame row search", C, RT, 40, 24, 3, 1, {5, 1, 50}},
        {"large fixed search over nine frames", L, FX, 24, 16, 9, 4, {4, 4, 50}},
        {"large fixed search over nine frames", C, FX, 24, 16, 9, 4, {4, 4, 50}},
        {"T 7 over fifteen frames", L, RT, 40, 24, 15, 7, {1, 7, 50}},
        {"T 7 over fifteen frames", C, RT, 40, 24, 15, 7, {1, 7, 50}},
        {"T 7 over fifteen frames", L, FX, 40, 24, 15, 7, {1, 7, 50}},
        {"T 7 over fifteen frames", C, FX, 40, 24, 15, 7, {1, 7, 50}},
    };
    for (const ReferenceCase& c : cases) {
        std::string name = std::string(c.name) + ", " + kindName(c.kind) + " " + formName(c.form) + ", R " +
                           std::to_string(c.search.R) + " T " + std::to_string(c.search.T);
        SCOPED_TRACE(name);
        std::vector<Frame> clip;
        for (int f = 0; f < c.clipLength; ++f) clip.push_back(noisyFrame(c.width, c.height, 100 + f));
        Result r = filter(clip, c.centre, c.kind, c.form, c.search);
        ASSERT_FALSE(r.gpu.empty());
        float largest = 0.0f;
        std::string where = largestDifference(r, c.kind, &largest);
        EXPECT_LE(largest, floatTolerance(c.search)) << "largest difference at " << where;
    }
}

// Host value each pixel's output must come back as when the only candidate
// of weight 1 is the pixel itself: its luma, or its pair's averaged chroma.
float hostValue(const Frame& f, Kind kind, int component, int x, int y) {
    if (kind == Kind::Luma) return f.at(x, y).y;
    int first = std::min(x / 2 * 2, f.width - 2);
    const PixelYC& a = f.at(first, y);
    const PixelYC& b = f.at(first + 1, y);
    return component == 1 ? static_cast<float>((a.cb + b.cb) >> 1) : static_cast<float>((a.cr + b.cr) >> 1);
}

float largestInputDifference(const Result& r, const Frame& f, Kind kind) {
    float largest = 0.0f;
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            size_t e = static_cast<size_t>(y) * r.alignedWidth + x;
            for (int c : writtenComponents(kind))
                largest = std::max(largest, std::fabs(r.gpu[e * 3 + c] - hostValue(f, kind, c, x, y)));
        }
    }
    return largest;
}

TEST_F(KernelTest, NoSearchReturnsInput) {
    std::vector<Frame> clip = {noisyFrame(37, 20, 7, 900)};
    for (Kind kind : {Kind::Luma, Kind::Chroma}) {
        for (Form form : {Form::Runtime, Form::Fixed}) {
            SCOPED_TRACE(std::string(kindName(kind)) + " " + formName(form));
            Result r = filter(clip, 0, kind, form, Search{0, 0, 0}, false);
            ASSERT_FALSE(r.gpu.empty());
            EXPECT_LE(largestInputDifference(r, clip[0], kind), floatTolerance(Search{0, 0, 0}));
        }
    }
}

TEST_F(KernelTest, FlatStillSceneReturnsInput) {
    struct Case {
        Kind kind;
        Search search;
    };
    // Luma loads outside the plane only for patch neighbours, so even R 16
    // leaves every candidate's centre at the flat value.
    const Case cases[] = {{Kind::Luma, {3, 1, 0}},   {Kind::Chroma, {3, 1, 0}}, {Kind::Luma, {5, 2, 100}},
                          {Kind::Chroma, {7, 2, 100}}, {Kind::Luma, {16, 1, 50}}};
    std::vector<Frame> clip(3, flatFrame(40, 24, PixelYC{1234, -567, 890}));
    for (const Case& c : cases) {
        for (Form form : {Form::Runtime, Form::Fixed}) {
            SCOPED_TRACE(std::string(kindName(c.kind)) + " " + formName(form) + " R " + std::to_string(c.search.R));
            Result r = filter(clip, 1, c.kind, form, c.search, false);
            ASSERT_FALSE(r.gpu.empty());
            EXPECT_LE(largestInputDifference(r, clip[0], c.kind), floatTolerance(c.search));
        }
    }
}

TEST_F(KernelTest, ChromaPairPixelsAreIdentical) {
    std::vector<Frame> clip = {noisyFrame(37, 20, 1), noisyFrame(37, 20, 2), noisyFrame(37, 20, 3)};
    for (Form form : {Form::Runtime, Form::Fixed}) {
        SCOPED_TRACE(formName(form));
        Result r = filter(clip, 1, Kind::Chroma, form, Search{3, 1, 50}, false);
        ASSERT_FALSE(r.gpu.empty());
        int unequal = 0;
        for (size_t e = 0; e < r.gpu.size() / 3; e += 2)
            for (int c = 1; c <= 2; ++c) unequal += r.gpu[e * 3 + c] != r.gpu[(e + 1) * 3 + c];
        EXPECT_EQ(unequal, 0);
    }
}

// The GPU pass runs both kernels into one buffer; each must leave the other's
// components alone, in either order.
TEST_F(KernelTest, LumaAndChromaWriteDisjointComponents) {
    std::vector<Frame> frames = {noisyFrame(40, 24, 11), noisyFrame(40, 24, 12), noisyFrame(40, 24, 13)};
    std::vector<Planes> clip;
    for (const Frame& f : frames) clip.push_back(pack(f));
    const int aw = aligned(40), ah = aligned(24);
    for (Form form : {Form::Runtime, Form::Fixed}) {
        SCOPED_TRACE(formName(form));
        std::vector<ComRef<ID3D11ShaderResourceView>> lumaViews, chromaViews;
        Pass luma, chroma;
        nlm_reference::Dispatch unused;
        prepare(clip, lumaViews, 1, Kind::Luma, form, Search{2, 1, 50}, aw, ah, &luma, &unused);
        prepare(clip, chromaViews, 1, Kind::Chroma, form, Search{3, 0, 70}, aw, ah, &chroma, &unused);
        std::vector<float> lumaOnly = harness_->run({luma}, aw, ah);
        std::vector<float> chromaOnly = harness_->run({chroma}, aw, ah);
        std::vector<float> lumaFirst = harness_->run({luma, chroma}, aw, ah);
        std::vector<float> chromaFirst = harness_->run({chroma, luma}, aw, ah);
        ASSERT_EQ(lumaFirst.size(), static_cast<size_t>(aw) * ah * 3);
        ASSERT_EQ(chromaFirst.size(), lumaFirst.size());
        int wrong = 0;
        for (size_t e = 0; e < lumaFirst.size() / 3; ++e) {
            for (const std::vector<float>* both : {&lumaFirst, &chromaFirst}) {
                wrong += (*both)[e * 3] != lumaOnly[e * 3];
                wrong += (*both)[e * 3 + 1] != chromaOnly[e * 3 + 1];
                wrong += (*both)[e * 3 + 2] != chromaOnly[e * 3 + 2];
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(KernelStrength, StrengthFallsAsDispersionRises) {
    struct Case {
        int dispersion;
        const char* text;  // as "%f" prints the float
    };
    const Case cases[] = {{100, "1.000000"}, {50, "65.793320"}, {0, "4328.761230"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dispersion);
        EXPECT_EQ(h2Text(c.dispersion), c.text);
    }
    EXPECT_EQ(dispersionStrength(100), 1.0f);
    // 10^((100 - D) / 27.5): a larger dispersion always smooths more.
    for (int d = 0; d <= 100; ++d) {
        SCOPED_TRACE(d);
        EXPECT_NEAR(dispersionStrength(d), std::pow(10.0, (100 - d) / 27.5), 1e-6 * dispersionStrength(d));
        if (d > 0) {
            EXPECT_LT(dispersionStrength(d), dispersionStrength(d - 1));
        }
    }
}

TEST(KernelReference, PatchCentreWeighsMostAndCornersLeast) {
    // One unit of difference at a single position: centre 0.20, corners 0.07,
    // edge neighbours 0.12.
    const float weight[9] = {0.07f, 0.12f, 0.07f, 0.12f, 0.20f, 0.12f, 0.07f, 0.12f, 0.07f};
    for (int k = 0; k < 9; ++k) {
        SCOPED_TRACE(k);
        float reference[9] = {};
        float candidate[9] = {};
        candidate[k] = 1.0f;
        EXPECT_FLOAT_EQ(nlm_reference::patchDistance(reference, candidate), weight[k]);
    }
}

TEST(KernelReference, LoadsOutsideThePlaneReadZero) {
    Plane plane{2, 2, 2, {0, 65535, 1, 2, 3, 4, 65535, 5}};
    EXPECT_EQ(plane.load(0, 0, 1), 1.0f);
    EXPECT_EQ(plane.load(1, 1, 0), 1.0f);
    EXPECT_FLOAT_EQ(plane.load(1, 0, 1), 2.0f / 65535.0f);
    for (int xy : {-1, 2}) {
        EXPECT_EQ(plane.load(xy, 0, 0), 0.0f);
        EXPECT_EQ(plane.load(0, xy, 1), 0.0f);
    }
}

}  // namespace
