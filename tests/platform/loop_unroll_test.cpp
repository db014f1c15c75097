// What the compiler stand-in's optimisation level leaves of a kernel's loops:
// innermost loops with a constant trip count are unrolled within a budget;
// loops the source keeps, loops of unknown length and long ones stay.
#include "platform/hlsl/loop_unroll.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gpu/kernels.h"
#include "gpu/shader_build.h"

namespace {

constexpr UINT kOptimised = D3D10_SHADER_OPTIMIZATION_LEVEL3 | D3D10_SHADER_ENABLE_STRICTNESS;
constexpr uint32_t kDontUnroll = 0x2;

std::vector<uint32_t> compile(const std::string& source, const D3D10_SHADER_MACRO* macros = nullptr) {
    ID3D10Blob* code = nullptr;
    ID3D10Blob* log = nullptr;
    const HRESULT hr = D3DX11CompileFromMemory(source.c_str(), source.size(), nullptr, macros, nullptr, "CS",
                                               "cs_5_0", kOptimised, 0, nullptr, &code, &log, nullptr);
    std::string text = log ? std::string(static_cast<const char*>(log->GetBufferPointer()), log->GetBufferSize()) : "";
    if (log) log->Release();
    EXPECT_TRUE(SUCCEEDED(hr) && code) << text;
    if (!code) return {};
    std::vector<uint32_t> words(code->GetBufferSize() / 4);
    std::memcpy(words.data(), code->GetBufferPointer(), words.size() * 4);
    code->Release();
    return words;
}

// A kernel whose loop body depends on the previous iteration and a constant
// buffer, so that nothing folds it away.
std::string kernelWith(const std::string& loops) {
    return R"(
cbuffer PARAM : register(b0) { int n; int m; int k; float h; };
RWStructuredBuffer<float> outBuff : register(u0);
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    float sum = 0;
)" + loops + R"(
    outBuff[id.x] = sum;
}
)";
}

TEST(LoopUnrollTest, OptimisationLeavesTheLoopsItShould) {
    const char* const body = " sum = sqrt(float(i) * h + sum);\n";
    const struct {
        const char* name;
        std::string loops;
        std::vector<int64_t> tripCounts;  // of the loops left, in order
    } cases[] = {
        {"constant count", "for (int i = -3; i <= 3; ++i)" + std::string(body), {}},
        {"step of two", "for (int i = 0; i < 9; i += 2)" + std::string(body), {}},
        {"kept by the source", "[loop] for (int i = -3; i <= 3; ++i)" + std::string(body), {7}},
        {"bound from the constant buffer", "for (int i = 0; i < n; ++i)" + std::string(body), {-1}},
        {"too many iterations", "for (int i = 0; i < 1000; ++i)" + std::string(body), {1000}},
        {"only the innermost of a nest",
         "for (int j = 0; j < 4; ++j) { for (int i = 0; i < 3; ++i)" + std::string(body) + " sum *= h; }", {4}},
    };
    for (const auto& c : cases) {
        const std::vector<platform_hlsl::LoopShape> loops = platform_hlsl::describeLoops(compile(kernelWith(c.loops)));
        ASSERT_EQ(loops.size(), c.tripCounts.size()) << c.name;
        for (size_t i = 0; i < loops.size(); ++i) EXPECT_EQ(loops[i].tripCount, c.tripCounts[i]) << c.name;
    }
    const auto kept = platform_hlsl::describeLoops(compile(kernelWith(cases[2].loops)));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].control & kDontUnroll);
}

// The fixed kernels keep their spatial search loops (dx and dy) and unroll
// the loops over frames and pixel rows within them.
TEST(LoopUnrollTest, FixedKernelsKeepOnlyTheirSearchLoops) {
    const struct {
        int space;
        int time;
        size_t loopsLeft;
    } cases[] = {{3, 1, 2}, {16, 7, 2}};
    for (const auto& c : cases) {
        const FixedMacros<D3D10_SHADER_MACRO> fixed(c.space, c.time, 50);
        for (const char* source : {lumaFixedSource, chromaFixedSource}) {
            const auto loops = platform_hlsl::describeLoops(compile(source, fixed.macros));
            EXPECT_EQ(loops.size(), c.loopsLeft)
                << (source == lumaFixedSource ? "luma" : "chroma") << " R " << c.space << " T " << c.time;
        }
    }
}

// A module that is not SPIR-V, or is cut off, has no loops to speak of.
TEST(LoopUnrollTest, DamagedModulesDescribeNoLoops) {
    std::vector<uint32_t> words = compile(kernelWith("[loop] for (int i = 0; i < 5; ++i) sum += h;"));
    ASSERT_FALSE(words.empty());
    std::vector<uint32_t> cut(words.begin(), words.begin() + static_cast<long>(words.size() / 2));
    cut.push_back(0xFFFF0000u);  // an instruction longer than what is left
    EXPECT_TRUE(platform_hlsl::describeLoops(cut).empty());
    std::vector<uint32_t> foreign = words;
    foreign[0] = 0x12345678u;
    EXPECT_TRUE(platform_hlsl::describeLoops(foreign).empty());
    EXPECT_EQ(platform_hlsl::markLoopsForUnrolling(foreign, 1 << 20), 0);
    EXPECT_EQ(foreign, [&] { auto w = words; w[0] = 0x12345678u; return w; }());
}

}  // namespace
