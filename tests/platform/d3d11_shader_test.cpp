// CreateComputeShader: accepts what the HLSL stand-in produces, refuses any
// other bytes before Vulkan sees them, and never crashes on damaged input.
#include <random>

#include "tests/platform/d3d11_test.h"

namespace {

const char kKernel[] = R"(
Texture2D<float2> textureArray[16] : register(t0);
cbuffer PARAM : register(b0) {
    int spaceSearchRadius : packoffset(c0.x);
    int timeSearchRadius : packoffset(c0.y);
    int width : packoffset(c0.z);
    float h2 : packoffset(c0.w);
};
RWStructuredBuffer<float3> outBuff;

[numthreads(16 / 2, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
    float2 v = textureArray[15].Load(int3(id.xy, 0)) * h2;
    for (int t = 0; t <= 2 * timeSearchRadius; ++t) v += textureArray[t].Load(int3(id.xy, 0));
    outBuff[id.y * width + 2 * id.x].yz = v;
}
)";

std::vector<uint8_t> compileKernel(const char* source, const char* entry, UINT flags,
                                   const D3D10_SHADER_MACRO* macros = nullptr) {
    ID3D10Blob* code = nullptr;
    ID3D10Blob* messages = nullptr;
    HRESULT hr = D3DX11CompileFromMemory(source, std::strlen(source), nullptr, macros, nullptr, entry, "cs_5_0", flags,
                                         0, nullptr, &code, &messages, nullptr);
    EXPECT_EQ(hr, S_OK) << (messages ? static_cast<const char*>(messages->GetBufferPointer()) : "");
    std::vector<uint8_t> bytes;
    if (code) {
        const auto* p = static_cast<const uint8_t*>(code->GetBufferPointer());
        bytes.assign(p, p + code->GetBufferSize());
    }
    releaseCom(code);
    releaseCom(messages);
    return bytes;
}

using D3D11ShaderTest = D3D11Test;

TEST_F(D3D11ShaderTest, AcceptsCompiledKernelsWhereverTheBytesLie) {
    for (UINT flags : {0x8800u, 0u}) {
        SCOPED_TRACE(flags);
        std::vector<uint8_t> code = compileKernel(kKernel, "CS", flags);
        ASSERT_FALSE(code.empty());
        // As read back from the registry: at an odd address.
        std::vector<uint8_t> shifted(code.size() + 1);
        std::memcpy(shifted.data() + 1, code.data(), code.size());
        for (const uint8_t* bytes : {code.data(), shifted.data() + 1}) {
            ID3D11ComputeShader* shader = nullptr;
            EXPECT_EQ(device->CreateComputeShader(bytes, code.size(), nullptr, &shader), S_OK);
            EXPECT_NE(shader, nullptr);
            releaseCom(shader);
        }
    }
}

TEST_F(D3D11ShaderTest, RefusesBytesThatAreNotAKernelForTheBindings) {
    std::vector<uint8_t> good = compileKernel(kKernel, "CS", 0x8800);
    ASSERT_GE(good.size(), 64u);
    const char otherTexture[] = R"(
Texture2D<float> extra : register(t20);
RWStructuredBuffer<float> outBuff;
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { outBuff[id.x] = extra.Load(int3(0, 0, 0)); }
)";
    std::mt19937 random(7);
    std::vector<uint8_t> garbage(256);
    for (auto& b : garbage) b = uint8_t(random());
    std::string mainKernel = kKernel;
    mainKernel.replace(mainKernel.find("void CS("), 8, "void Main(");
    std::vector<uint8_t> badMagic = good;
    badMagic[0] ^= 0xff;

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"three bytes", {0x03, 0x02, 0x23}},
        {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 20)},
        {"random bytes", garbage},
        {"wrong magic", badMagic},
        {"truncated to half", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2 / 4 * 4)},
        {"last word missing", std::vector<uint8_t>(good.begin(), good.end() - 4)},
        {"odd length", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"entry point not CS", compileKernel(mainKernel.c_str(), "Main", 0x8800)},
        {"texture outside the array", compileKernel(otherTexture, "CS", 0x8800)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ID3D11ComputeShader* shader = reinterpret_cast<ID3D11ComputeShader*>(1);
        EXPECT_EQ(device->CreateComputeShader(c.bytes.data(), c.bytes.size(), nullptr, &shader), E_INVALIDARG);
        EXPECT_EQ(shader, nullptr);
    }
    ID3D11ComputeShader* shader = nullptr;
    EXPECT_EQ(device->CreateComputeShader(nullptr, 16, nullptr, &shader), E_INVALIDARG);
}

// Damaged cache entries: every single-word corruption of a good module is
// either refused or still a working shader, never a crash.
TEST_F(D3D11ShaderTest, SurvivesCorruptedModules) {
    std::vector<uint8_t> good = compileKernel(kKernel, "CS", 0x8800);
    ASSERT_FALSE(good.empty());
    std::mt19937 random(1234);
    int refused = 0;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> bytes = good;
        size_t word = 5 + random() % (bytes.size() / 4 - 5);
        uint32_t value;
        switch (i % 3) {
            case 0: value = uint32_t(random()); break;           // anything
            case 1: value = uint32_t(random() % 64); break;      // a small id or literal
            default: std::memcpy(&value, &bytes[word * 4], 4); value ^= 1u << (random() % 32); break;
        }
        std::memcpy(&bytes[word * 4], &value, 4);
        ID3D11ComputeShader* shader = nullptr;
        HRESULT hr = device->CreateComputeShader(bytes.data(), bytes.size(), nullptr, &shader);
        ASSERT_TRUE(hr == S_OK || hr == E_INVALIDARG) << "mutation " << i;
        refused += hr == E_INVALIDARG;
        releaseCom(shader);
    }
    EXPECT_GT(refused, 150);
}

TEST_F(D3D11ShaderTest, InjectedFailureLeavesNothingBehind) {
    std::vector<uint8_t> good = compileKernel(kKernel, "CS", 0x8800);
    const long before = platform_hooks::liveObjects();
    platform_hooks::failNth(platform_hooks::FailPoint::CreateComputeShader, 1);
    ID3D11ComputeShader* shader = reinterpret_cast<ID3D11ComputeShader*>(1);
    EXPECT_TRUE(FAILED(device->CreateComputeShader(good.data(), good.size(), nullptr, &shader)));
    EXPECT_EQ(shader, nullptr);
    EXPECT_EQ(platform_hooks::liveObjects(), before);
    EXPECT_EQ(device->CreateComputeShader(good.data(), good.size(), nullptr, &shader), S_OK);
    releaseCom(shader);
}

}  // namespace
