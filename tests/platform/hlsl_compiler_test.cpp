// D3DX11CompileFromMemory over glslang: the module's layout as the Vulkan
// stand-in expects it, macros, error texts and forced failures.
#include "platform/hlsl/spirv_tools.h"
#include "platform/test_hooks.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform_hooks::FailPoint;

constexpr UINT kKernelFlags = D3D10_SHADER_OPTIMIZATION_LEVEL3 | D3D10_SHADER_ENABLE_STRICTNESS;

// The kernels' binding interface in miniature.
const char* const kKernel = R"(
cbuffer PARAM : register(b0)
{
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};
Texture2D<float> textureArray[16] : register(t0);
RWStructuredBuffer<float3> outBuff;

[numthreads(16, 16, 1)]
void CS(uint3 threadId : SV_DispatchThreadID)
{
    int2 pos = int2(threadId.xy);
    float sum = 0;
    [unroll(15)]
    for (int dt = 0; dt <= 2 * timeSearchRadius; ++dt)
        sum += textureArray[dt].Load(int3(pos + int2(16, 16), 0));
    outBuff[pos.y * width + pos.x].x = sum * h2 + spaceSearchRadius;
}
)";

struct Compiled {
    HRESULT hr = E_FAIL;
    HRESULT result = S_OK;
    bool hasCode = false;
    std::vector<uint32_t> words;
    std::string messages;  // empty when there was no message blob
    size_t messageBlobSize = 0;
};

Compiled compile(const std::string& source, const D3D10_SHADER_MACRO* macros = nullptr,
                 const char* profile = "cs_5_0", UINT flags = kKernelFlags) {
    Compiled out;
    ID3D10Blob* code = reinterpret_cast<ID3D10Blob*>(1);
    ID3D10Blob* messages = reinterpret_cast<ID3D10Blob*>(1);
    out.hr = D3DX11CompileFromMemory(source.data(), source.size(), nullptr, macros, nullptr, "CS", profile, flags,
                                     0, nullptr, &code, &messages, &out.result);
    if (code) {
        out.hasCode = true;
        out.words.resize(code->GetBufferSize() / 4);
        std::memcpy(out.words.data(), code->GetBufferPointer(), out.words.size() * 4);
        EXPECT_EQ(code->GetBufferSize() % 4, 0u);
        code->Release();
    }
    if (messages) {
        out.messageBlobSize = messages->GetBufferSize();
        out.messages = static_cast<const char*>(messages->GetBufferPointer());
        messages->Release();
    }
    return out;
}

// What the tests read back from a module: decorations by the name of the
// variable (or of its block type) and the strides of runtime arrays.
struct Reflection {
    std::map<std::string, uint32_t> binding, set;
    std::vector<uint32_t> runtimeArrayStrides;
    std::vector<std::string> entryPoints;
    std::map<std::string, std::vector<uint32_t>> memberOffsets;  // by struct name
    int loops = 0;
};

Reflection reflect(const std::vector<uint32_t>& words) {
    Reflection r;
    std::map<uint32_t, std::string> names;
    std::map<uint32_t, uint32_t> pointee, variableType, bindingOf, setOf, strideOf;
    std::map<uint32_t, std::map<uint32_t, uint32_t>> offsets;
    std::vector<uint32_t> variables, runtimeArrays;
    for (size_t at = 5; at < words.size();) {
        const uint32_t count = words[at] >> 16, op = words[at] & 0xFFFF;
        if (count == 0) break;
        const uint32_t* w = &words[at + 1];
        if (op == 5) names[w[0]] = reinterpret_cast<const char*>(&w[1]);            // OpName
        if (op == 15) r.entryPoints.push_back(reinterpret_cast<const char*>(&w[2]));  // OpEntryPoint
        if (op == 71 && w[1] == 33) bindingOf[w[0]] = w[2];                          // Binding
        if (op == 71 && w[1] == 34) setOf[w[0]] = w[2];                              // DescriptorSet
        if (op == 71 && w[1] == 6) strideOf[w[0]] = w[2];                            // ArrayStride
        if (op == 72 && w[2] == 35) offsets[w[0]][w[1]] = w[3];                       // Offset
        if (op == 32) pointee[w[0]] = w[2];                                          // OpTypePointer
        if (op == 29) runtimeArrays.push_back(w[0]);                                 // OpTypeRuntimeArray
        if (op == 59) {                                                              // OpVariable
            variableType[w[1]] = w[0];
            variables.push_back(w[1]);
        }
        if (op == 246) ++r.loops;  // OpLoopMerge
        at += count;
    }
    for (uint32_t v : variables) {
        if (!bindingOf.count(v)) continue;
        std::string name = names[v];
        if (name.empty()) name = names[pointee[variableType[v]]];
        r.binding[name] = bindingOf[v];
        r.set[name] = setOf.count(v) ? setOf[v] : ~0u;
    }
    for (const auto& [type, members] : offsets)
        for (const auto& [member, offset] : members) r.memberOffsets[names[type]].push_back(offset);
    for (uint32_t a : runtimeArrays) r.runtimeArrayStrides.push_back(strideOf.count(a) ? strideOf[a] : 0);
    return r;
}

class HlslCompilerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform_hooks::resetHooks();
        liveBefore_ = platform_hooks::liveObjects();
    }
    void TearDown() override {
        EXPECT_EQ(platform_hooks::liveObjects(), liveBefore_) << "blobs leaked";
        platform_hooks::resetHooks();
    }
    long liveBefore_ = 0;
};

TEST_F(HlslCompilerTest, KernelCompilesToValidModuleWithDirect3DLayout) {
    const struct {
        const char* profile;
        UINT flags;
    } cases[] = {{"cs_5_0", kKernelFlags}, {"cs_5_0", 0}, {"cs_4_1", kKernelFlags}, {"cs_4_0", kKernelFlags}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " flags " + std::to_string(c.flags));
        const Compiled out = compile(kKernel, nullptr, c.profile, c.flags);
        ASSERT_EQ(out.hr, S_OK) << out.messages;
        EXPECT_EQ(out.result, S_OK);
        ASSERT_TRUE(out.hasCode);
        ASSERT_GE(out.words.size(), 5u);
        EXPECT_EQ(out.words[0], 0x07230203u);
        std::string log;
        EXPECT_TRUE(platform_hlsl::validateSpirv(out.words.data(), out.words.size() * 4, &log)) << log;

        const Reflection r = reflect(out.words);
        EXPECT_EQ(r.entryPoints, std::vector<std::string>{"CS"});
        EXPECT_EQ(r.binding.at("textureArray"), 0u);
        EXPECT_EQ(r.binding.at("PARAM"), 16u);
        EXPECT_EQ(r.binding.at("outBuff"), 17u);
        for (const auto& [name, set] : r.set) EXPECT_EQ(set, 0u) << name;
        // float3 elements packed as Direct3D packs them.
        EXPECT_EQ(r.runtimeArrayStrides, std::vector<uint32_t>{12});
    }
}

TEST_F(HlslCompilerTest, ConstantBuffersArePackedByDirect3DRules) {
    // A float3 that fits in the rest of a 16-byte register stays in it; one
    // that would straddle a register boundary moves to the next register.
    const std::string source = R"(
cbuffer PARAM : register(b0) { float a; float3 b; float2 c; float3 d; };
RWStructuredBuffer<float3> outBuff;
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { outBuff[id.x] = a + b + c.x + d; }
)";
    const Compiled out = compile(source, nullptr, "cs_5_0", 0);
    ASSERT_EQ(out.hr, S_OK) << out.messages;
    EXPECT_EQ(reflect(out.words).memberOffsets.at("PARAM"), (std::vector<uint32_t>{0, 4, 16, 32}));
}

TEST_F(HlslCompilerTest, OptimisationUnrollsConstantLoopsMarkedUnroll) {
    const std::string source = R"(
RWStructuredBuffer<float3> outBuff;
[numthreads(8, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    float3 sum = 0;
    [unroll(15)]
    for (int t = 0; t <= 2 * TIME_SEARCH_RADIUS; ++t)
        sum += outBuff[id.x * 15 + t];
    outBuff[id.x] = sum;
}
)";
    const D3D10_SHADER_MACRO macros[] = {{"TIME_SEARCH_RADIUS", "7"}, {nullptr, nullptr}};
    const Compiled plain = compile(source, macros, "cs_5_0", 0);
    const Compiled optimised = compile(source, macros, "cs_5_0", kKernelFlags);
    ASSERT_EQ(plain.hr, S_OK) << plain.messages;
    ASSERT_EQ(optimised.hr, S_OK) << optimised.messages;
    EXPECT_EQ(reflect(plain.words).loops, 1);
    EXPECT_EQ(reflect(optimised.words).loops, 0);
    std::string log;
    EXPECT_TRUE(platform_hlsl::validateSpirv(optimised.words.data(), optimised.words.size() * 4, &log)) << log;
    EXPECT_EQ(reflect(optimised.words).runtimeArrayStrides, std::vector<uint32_t>{12});
}

TEST_F(HlslCompilerTest, MacrosArePassedInOrderBeforeTheSource) {
    const std::string source = R"(
#if TIME_SEARCH_RADIUS != 2 || SPACE_SEARCH_RADIUS != 5
#error wrong macro values
#endif
Texture2D<float> textureArray[2 * TIME_SEARCH_RADIUS + 1] : register(t0);
RWStructuredBuffer<float3> outBuff;
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    outBuff[id.x].x = textureArray[TIME_SEARCH_RADIUS].Load(int3(0, 0, 0)) * H2;
}
)";
    const struct {
        const char* name;
        std::vector<D3D10_SHADER_MACRO> macros;
        bool compiles;
    } cases[] = {
        {"values as given",
         {{"SPACE_SEARCH_RADIUS", "5"}, {"TIME_SEARCH_RADIUS", "2"}, {"H2", "65.793320"}, {nullptr, nullptr}},
         true},
        {"a macro defined by another",
         {{"SPACE_SEARCH_RADIUS", "5"}, {"TIME_SEARCH_RADIUS", "(SPACE_SEARCH_RADIUS - 3)"}, {"H2", "1.0"},
          {nullptr, nullptr}},
         true},
        {"a wrong value",
         {{"SPACE_SEARCH_RADIUS", "5"}, {"TIME_SEARCH_RADIUS", "1"}, {"H2", "1.0"}, {nullptr, nullptr}},
         false},
        {"a missing macro", {{"SPACE_SEARCH_RADIUS", "5"}, {"TIME_SEARCH_RADIUS", "2"}, {nullptr, nullptr}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Compiled out = compile(source, c.macros.data());
        EXPECT_EQ(SUCCEEDED(out.hr), c.compiles) << out.messages;
        EXPECT_EQ(out.hasCode, c.compiles);
        if (!c.compiles) {
            EXPECT_FALSE(out.messages.empty());
        }
    }
}

TEST_F(HlslCompilerTest, SyntaxErrorGivesLogWithLineNumber) {
    const std::string source =
        "RWStructuredBuffer<float3> outBuff;\n"
        "[numthreads(1, 1, 1)]\n"
        "void CS(uint3 id : SV_DispatchThreadID) {\n"
        "    outBuff[id.x].x = undefinedName;\n"
        "}\n";
    const D3D10_SHADER_MACRO macros[] = {{"A", "1"}, {"B", "2"}, {nullptr, nullptr}};
    const Compiled out = compile(source, macros);
    EXPECT_LT(out.hr, 0);
    EXPECT_EQ(out.result, out.hr);
    EXPECT_FALSE(out.hasCode);
    EXPECT_NE(out.messages.find("undefinedName"), std::string::npos) << out.messages;
    // The macros come before the source without moving its line numbers.
    EXPECT_NE(out.messages.find(":4:"), std::string::npos) << out.messages;
    EXPECT_EQ(out.messageBlobSize, out.messages.size() + 1) << "the text is NUL-terminated";
}

TEST_F(HlslCompilerTest, RefusesWhatItCannotCompile) {
    const struct {
        const char* name;
        const char* profile;
        bool forced;
        const char* expectInMessage;
    } cases[] = {
        {"pixel profile", "ps_5_0", false, "ps_5_0"},
        {"newer compute profile", "cs_6_0", false, "cs_6_0"},
        {"empty profile", "", false, "profile"},
        {"forced failure", "cs_5_0", true, "fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.forced) platform_hooks::failNth(FailPoint::Compile, 1);
        const Compiled out = compile(kKernel, nullptr, c.profile);
        EXPECT_LT(out.hr, 0);
        EXPECT_EQ(out.result, out.hr);
        EXPECT_FALSE(out.hasCode);
        EXPECT_NE(out.messages.find(c.expectInMessage), std::string::npos) << out.messages;
    }
    // A forced failure is one call only.
    EXPECT_EQ(compile(kKernel).hr, S_OK);
    EXPECT_EQ(platform_hooks::callCount(FailPoint::Compile), 5);
}

TEST_F(HlslCompilerTest, ThreadPumpIsRefused) {
    ID3D10Blob* code = nullptr;
    ID3D10Blob* messages = nullptr;
    HRESULT result = S_OK;
    auto* pump = reinterpret_cast<ID3DX11ThreadPump*>(8);
    const HRESULT hr = D3DX11CompileFromMemory(kKernel, std::strlen(kKernel), nullptr, nullptr, nullptr, "CS",
                                               "cs_5_0", kKernelFlags, 0, pump, &code, &messages, &result);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(result, E_INVALIDARG);
    EXPECT_EQ(code, nullptr);
    EXPECT_EQ(messages, nullptr);
}

TEST_F(HlslCompilerTest, BlobCountsReferences) {
    ID3D10Blob* code = nullptr;
    ASSERT_EQ(D3DX11CompileFromMemory(kKernel, std::strlen(kKernel), nullptr, nullptr, nullptr, "CS", "cs_5_0",
                                      kKernelFlags, 0, nullptr, &code, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(platform_hooks::liveObjects(), liveBefore_ + 1);
    EXPECT_EQ(code->AddRef(), 2u);
    const IID iidUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    void* unknown = nullptr;
    ASSERT_EQ(code->QueryInterface(iidUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, static_cast<void*>(code));
    EXPECT_EQ(code->Release(), 2u);
    EXPECT_EQ(code->Release(), 1u);
    EXPECT_EQ(platform_hooks::liveObjects(), liveBefore_ + 1);
    EXPECT_EQ(code->Release(), 0u);
}

TEST_F(HlslCompilerTest, CompilesFromSeveralThreadsAtOnce) {
    const std::vector<uint32_t> expected = compile(kKernel).words;
    std::vector<std::vector<uint32_t>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&result] {
            for (int i = 0; i < 2; ++i) result = compile(kKernel).words;
        });
    for (auto& t : threads) t.join();
    for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
