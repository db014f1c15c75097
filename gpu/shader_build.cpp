#include "gpu/shader_build.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpu/kernels.h"
#include "gpu/strength.h"
#include "host/version.h"
#include "platform/win32_api.h"
#include "state/checked_size.h"
#include "state/denoise_state.h"
#include "state/failure_report.h"

namespace {

const char lumaValueName[] = "ComputeShadeLight";
const char chromaValueName[] = "ComputeShadeCollar";
const char versionValueName[] = "Version";

// The plug-in's version as hexadecimal digits, 1.13 as 0x0113: a new version
// misses every cache entry of the one before.
constexpr uint32_t versionDigits = (QUENDA_VERSION_MAJOR << 8) | ((QUENDA_VERSION_MINOR / 10) << 4) |
                                   (QUENDA_VERSION_MINOR % 10);
static_assert(QUENDA_VERSION_MAJOR < 256 && QUENDA_VERSION_MINOR < 100, "the version fits its digits");

// Shows a compiler's message text, bounded by the blob's size.
void showCompilerMessages(FilterTable* filter, ID3D10Blob* messages) {
    if (!messages) return;
    const char* text = static_cast<const char*>(messages->GetBufferPointer());
    size_t size = messages->GetBufferSize();
    if (!text || size == 0) return;
    char* copy = static_cast<char*>(std::malloc(size + 1));
    if (!copy) return;
    std::memcpy(copy, text, size);
    copy[size] = '\0';
    reportFailure(filter, copy, Teardown::none, captionCsError);
    std::free(copy);
}

HRESULT compileKernel(const char* source, const D3D10_SHADER_MACRO* macros, const char* profile,
                      ID3D10Blob** code, ID3D10Blob** messages) {
    return D3DX11CompileFromMemory(source, std::strlen(source), nullptr, macros, nullptr, "CS", profile,
                                   shaderCompileFlags, 0, nullptr, code, messages, nullptr);
}

// Compiles the luma kernel and, only if that succeeded, the chroma kernel.
// On failure shows the messages of both compiles and releases every blob.
bool compilePair(FilterTable* filter, const char* lumaSource, const D3D10_SHADER_MACRO* lumaMacros,
                 const char* chromaSource, const D3D10_SHADER_MACRO* chromaMacros, const char* profile,
                 ID3D10Blob** lumaCode, ID3D10Blob** chromaCode) {
    ID3D10Blob* lumaMessages = nullptr;
    ID3D10Blob* chromaMessages = nullptr;
    bool ok = SUCCEEDED(compileKernel(lumaSource, lumaMacros, profile, lumaCode, &lumaMessages)) &&
              SUCCEEDED(compileKernel(chromaSource, chromaMacros, profile, chromaCode, &chromaMessages)) &&
              *lumaCode && *chromaCode;
    if (!ok) {
        showCompilerMessages(filter, lumaMessages);
        showCompilerMessages(filter, chromaMessages);
        releaseObject(*lumaCode);
        releaseObject(*chromaCode);
    }
    releaseObject(lumaMessages);
    releaseObject(chromaMessages);
    return ok;
}

struct CacheBuffers {
    BYTE* luma = nullptr;
    BYTE* chroma = nullptr;
    DWORD lumaSize = 0;
    DWORD chromaSize = 0;

    ~CacheBuffers() {
        std::free(luma);
        std::free(chroma);
    }
};

// Reads the three cached values; true when all three were read and the
// stored key equals the current one in all 8 bytes.
bool readCache(HKEY key, CacheBuffers& buffers, uint64_t cacheKey) {
    buffers.lumaSize = shaderCacheBlobLimit;
    if (RegQueryValueExA(key, lumaValueName, nullptr, nullptr, buffers.luma, &buffers.lumaSize) != ERROR_SUCCESS)
        return false;
    buffers.chromaSize = shaderCacheBlobLimit;
    if (RegQueryValueExA(key, chromaValueName, nullptr, nullptr, buffers.chroma, &buffers.chromaSize) !=
        ERROR_SUCCESS)
        return false;
    BYTE stored[8] = {};
    DWORD storedSize = sizeof stored;
    if (RegQueryValueExA(key, versionValueName, nullptr, nullptr, stored, &storedSize) != ERROR_SUCCESS)
        return false;
    BYTE current[8];
    for (int i = 0; i < 8; ++i) current[i] = static_cast<BYTE>(cacheKey >> (8 * i));
    return storedSize == sizeof stored && std::memcmp(stored, current, sizeof stored) == 0;
}

// Replaces a cache buffer by an exact copy of a compiled blob.
bool takeBlob(ID3D10Blob* blob, BYTE*& buffer, DWORD& size) {
    uint32_t blobSize = 0;
    if (!checkedSize(blob->GetBufferSize(), 1, &blobSize)) return false;
    BYTE* copy = static_cast<BYTE*>(std::malloc(blobSize ? blobSize : 1));
    if (!copy) return false;
    std::memcpy(copy, blob->GetBufferPointer(), blobSize);
    std::free(buffer);
    buffer = copy;
    size = blobSize;
    return true;
}

void writeCache(const CacheBuffers& buffers, uint64_t cacheKey) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    BYTE version[8];
    for (int i = 0; i < 8; ++i) version[i] = static_cast<BYTE>(cacheKey >> (8 * i));
    RegSetValueExA(key, lumaValueName, 0, REG_BINARY, buffers.luma, buffers.lumaSize);
    RegSetValueExA(key, chromaValueName, 0, REG_BINARY, buffers.chroma, buffers.chromaSize);
    RegSetValueExA(key, versionValueName, 0, REG_QWORD, version, sizeof version);
    RegCloseKey(key);
}

// Creates the luma shader and, only if that succeeded, the chroma shader.
bool createShaderPair(const void* lumaCode, SIZE_T lumaSize, const void* chromaCode, SIZE_T chromaSize,
                      ID3D11ComputeShader** luma, ID3D11ComputeShader** chroma) {
    ID3D11Device* device = denoiseState.device;
    return SUCCEEDED(device->CreateComputeShader(lumaCode, lumaSize, nullptr, luma)) &&
           SUCCEEDED(device->CreateComputeShader(chromaCode, chromaSize, nullptr, chroma));
}

// A cached blob the device refused must not be loaded again.
int failShaderCreation(FilterTable* filter) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath);
    return reportFailure(filter, textShaderCreateFailed, Teardown::none);
}

// Writes a float as "%f" writes it in the C locale (sign, integer part, '.'
// and six decimals, rounded to nearest with ties to even), whatever locale
// the host process has set: a decimal comma would split the H2 macro into
// two tokens. Exact for every float: the fraction of a float has at most 24
// significant bits and 10^6 = 15625 * 2^6, so the scaled fraction is exact
// in a double; the integer part goes through base-10^9 limbs.
void formatFloatFixed(float value, char* out, size_t size) {
    if (std::isnan(value) || std::isinf(value)) {
        std::snprintf(out, size, "%s", std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf");
        return;
    }
    const double magnitude = std::fabs(static_cast<double>(value));
    double whole = std::floor(magnitude);
    const double scaled = (magnitude - whole) * 1e6;
    double decimals = std::floor(scaled);
    const double rest = scaled - decimals;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(decimals, 2.0) != 0.0)) decimals += 1.0;
    if (decimals >= 1e6) {
        decimals = 0.0;
        whole += 1.0;
    }
    // whole = mantissa * 2^shift with a mantissa of at most 53 bits.
    int exponent = 0;
    std::frexp(whole, &exponent);
    const int shift = exponent > 53 ? exponent - 53 : 0;
    uint32_t limbs[6] = {};  // little-endian base 10^9: a float is below 2^128
    uint64_t mantissa = static_cast<uint64_t>(std::ldexp(whole, -shift));
    int used = 0;
    for (; mantissa; mantissa /= 1000000000u) limbs[used++] = static_cast<uint32_t>(mantissa % 1000000000u);
    for (int s = 0; s < shift; ++s) {
        uint32_t carry = 0;
        for (int i = 0; i < used; ++i) {
            const uint32_t doubled = limbs[i] * 2 + carry;
            carry = doubled >= 1000000000u;
            limbs[i] = doubled - carry * 1000000000u;
        }
        if (carry) limbs[used++] = 1;
    }
    int at = std::snprintf(out, size, "%s%u", std::signbit(value) ? "-" : "", used ? limbs[used - 1] : 0u);
    for (int i = used - 2; i >= 0 && at >= 0 && static_cast<size_t>(at) < size; --i)
        at += std::snprintf(out + at, size - at, "%09u", limbs[i]);
    if (at >= 0 && static_cast<size_t>(at) < size)
        std::snprintf(out + at, size - at, ".%06u", static_cast<unsigned>(decimals));
}

}  // namespace

uint64_t shaderCacheKey(uint32_t featureLevel, uint32_t deviceId) {
    return (static_cast<uint64_t>(deviceId) << 32) | (featureLevel | (versionDigits << 16));
}

const char* shaderProfile(uint32_t featureLevel) {
    switch (featureLevel) {
        case D3D_FEATURE_LEVEL_11_0: return "cs_5_0";
        case D3D_FEATURE_LEVEL_10_1: return "cs_4_1";
        case D3D_FEATURE_LEVEL_10_0: return "cs_4_0";
        default: return nullptr;
    }
}

void formatFixedMacros(int32_t space, int32_t time, int32_t dispersion, FixedMacroTexts* texts) {
    std::snprintf(texts->space, sizeof texts->space, "%d", static_cast<int>(space));
    std::snprintf(texts->time, sizeof texts->time, "%d", static_cast<int>(time));
    std::snprintf(texts->dispersion, sizeof texts->dispersion, "%d", static_cast<int>(dispersion));
    formatFloatFixed(dispersionStrength(dispersion), texts->h2, sizeof texts->h2);
}

int buildRuntimeShaders(FilterTable* filter, uint32_t deviceId) {
    DenoiseState& s = denoiseState;
    // The cache only saves time: a key that cannot be opened (a standard
    // user, a locked-down or damaged hive) means compiling at every start,
    // not a filter that cannot be used. Nothing is stored then.
    HKEY key = nullptr;
    const bool keyOpened = RegCreateKeyExA(HKEY_LOCAL_MACHINE, shaderCacheKeyPath, 0, nullptr, 0, KEY_READ,
                                           nullptr, &key, nullptr) == ERROR_SUCCESS;

    CacheBuffers buffers;
    buffers.luma = static_cast<BYTE*>(std::malloc(shaderCacheBlobLimit));
    buffers.chroma = static_cast<BYTE*>(std::malloc(shaderCacheBlobLimit));
    if (!buffers.luma || !buffers.chroma) {
        if (keyOpened) RegCloseKey(key);
        return reportFailure(filter, textMemoryFailed, Teardown::none);
    }
    const uint64_t cacheKey = shaderCacheKey(static_cast<uint32_t>(s.featureLevel), deviceId);
    const bool hit = keyOpened && readCache(key, buffers, cacheKey);
    if (keyOpened) RegCloseKey(key);

    if (!hit) {
        const char* profile = shaderProfile(static_cast<uint32_t>(s.featureLevel));
        if (!profile) return reportFailure(filter, textUnsupportedLevel, Teardown::none, captionPsError);
        ID3D10Blob* lumaCode = nullptr;
        ID3D10Blob* chromaCode = nullptr;
        if (!compilePair(filter, lumaRuntimeSource, nullptr, chromaRuntimeSource, nullptr, profile, &lumaCode,
                         &chromaCode))
            return 0;
        bool copied = takeBlob(lumaCode, buffers.luma, buffers.lumaSize) &&
                      takeBlob(chromaCode, buffers.chroma, buffers.chromaSize);
        releaseObject(lumaCode);
        releaseObject(chromaCode);
        if (!copied) return reportFailure(filter, textMemoryFailed, Teardown::none);
        if (keyOpened) writeCache(buffers, cacheKey);
    }

    if (!createShaderPair(buffers.luma, buffers.lumaSize, buffers.chroma, buffers.chromaSize, &s.lumaShaderRuntime,
                          &s.chromaShaderRuntime))
        return failShaderCreation(filter);
    return 1;
}

int buildFixedShaders(FilterTable* filter, const DenoiseParams& p) {
    DenoiseState& s = denoiseState;

    const FixedMacros<D3D10_SHADER_MACRO> luma(p.lumaSpace, p.lumaTime, p.lumaDispersion);
    const FixedMacros<D3D10_SHADER_MACRO> chroma(p.chromaSpace, p.chromaTime, p.chromaDispersion);

    const char* profile = shaderProfile(static_cast<uint32_t>(s.featureLevel));
    if (!profile) return reportFailure(filter, textUnsupportedLevel, Teardown::none, captionCsError);
    ID3D10Blob* lumaCode = nullptr;
    ID3D10Blob* chromaCode = nullptr;
    if (!compilePair(filter, lumaFixedSource, luma.macros, chromaFixedSource, chroma.macros, profile, &lumaCode,
                     &chromaCode))
        return 0;
    const bool created = createShaderPair(lumaCode->GetBufferPointer(), lumaCode->GetBufferSize(),
                                          chromaCode->GetBufferPointer(), chromaCode->GetBufferSize(),
                                          &s.lumaShaderFixed, &s.chromaShaderFixed);
    releaseObject(lumaCode);
    releaseObject(chromaCode);
    return created ? 1 : reportFailure(filter, textShaderCreateFailed, Teardown::none);
}
