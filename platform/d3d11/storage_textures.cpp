#include "platform/d3d11/storage_textures.h"

#include <unordered_map>
#include <unordered_set>

#include "platform/spirv_walk.h"

namespace d3d11vk {
namespace {

using namespace spv;
using platform_spirv::forEachInstruction;

// Operand positions of OpTypeImage (after the opcode word).
constexpr size_t kImageDepth = 3, kImageArrayed = 4, kImageMultisampled = 5, kImageSampled = 6, kImageFormat = 7;

// How a fetch becomes a read: the offset to add to its coordinate, if any.
struct Fetch {
    uint32_t offset = 0;      // an int2 constant, or 0 for none
    uint32_t offsetType = 0;  // its type, the sum's type
};

struct Module {
    std::unordered_set<uint32_t> textureTypes;
    std::unordered_set<uint32_t> intTypes;
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> constants;  // id -> type, value
    std::unordered_map<uint32_t, uint32_t> intVectorConstants;            // id -> type
    std::unordered_set<uint32_t> textures;                                // loaded texture values
    std::unordered_map<size_t, Fetch> fetches;                            // by offset of the fetch
    bool hasExtendedFormats = false;
};

bool isDebugOrDecoration(Op op) {
    switch (op) {
        case OpSource: case OpSourceExtension: case OpSourceContinued: case OpName: case OpMemberName:
        case OpString: case OpLine: case OpNoLine: case OpModuleProcessed: case OpDecorate:
        case OpMemberDecorate: case OpDecorateString: case OpMemberDecorateString:
            return true;
        default:
            return false;
    }
}

bool isConstant(Op op) {
    return op == OpConstant || op == OpConstantComposite || op == OpConstantNull || op == OpConstantTrue ||
           op == OpConstantFalse || op == OpSpecConstant || op == OpSpecConstantComposite || op == OpSpecConstantOp;
}

// The image operands of a fetch that a read can do: level 0 and a constant
// offset. False for anything else.
bool understandFetch(const Module& m, const uint32_t* w, size_t n, Fetch* fetch) {
    if (n == 4) return true;
    const uint32_t mask = w[4];
    if (mask & ~uint32_t(ImageOperandsLodMask | ImageOperandsConstOffsetMask)) return false;
    size_t next = 5;
    if (mask & ImageOperandsLodMask) {
        if (next >= n) return false;
        auto lod = m.constants.find(w[next++]);
        if (lod == m.constants.end() || !m.intTypes.count(lod->second.first) || lod->second.second != 0) return false;
    }
    if (mask & ImageOperandsConstOffsetMask) {
        if (next >= n) return false;
        fetch->offset = w[next++];
        auto type = m.intVectorConstants.find(fetch->offset);
        if (type == m.intVectorConstants.end()) return false;
        fetch->offsetType = type->second;
    }
    return next == n;
}

// Gathers what the rewrite needs; false when some use of a texture is not a
// fetch that a read can stand for.
bool survey(const std::vector<uint32_t>& words, Module& m) {
    std::unordered_map<uint32_t, uint32_t> vectorComponents;  // int vector type -> components
    return forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t at) {
        switch (op) {
            case OpCapability:
                if (n == 1 && w[0] == CapabilityStorageImageExtendedFormats) m.hasExtendedFormats = true;
                return true;
            case OpTypeInt:
                if (n == 3 && w[1] == 32) m.intTypes.insert(w[0]);
                return true;
            case OpTypeVector:
                if (n == 3 && m.intTypes.count(w[1])) vectorComponents[w[0]] = w[2];
                return true;
            case OpTypeImage:
                if (n >= 8 && w[2] == Dim2D && w[kImageDepth] != 1 && w[kImageArrayed] == 0 &&
                    w[kImageMultisampled] == 0 && w[kImageSampled] == 1)
                    m.textureTypes.insert(w[0]);
                return true;
            case OpTypeSampledImage:
                return !(n == 2 && m.textureTypes.count(w[1]));  // sampling needs a sampled image
            case OpConstant:
                if (n == 3) m.constants[w[1]] = {w[0], w[2]};
                return true;
            case OpConstantComposite:
            case OpConstantNull: {
                auto vector = vectorComponents.find(w[0]);
                if (vector != vectorComponents.end() && vector->second == 2) m.intVectorConstants[w[1]] = w[0];
                return true;
            }
            case OpLoad:
                if (n >= 3 && m.textureTypes.count(w[0])) m.textures.insert(w[1]);
                return true;
            case OpImageFetch:
                if (n >= 4 && m.textures.count(w[2])) {
                    Fetch fetch;
                    if (!understandFetch(m, w, n, &fetch)) return false;
                    m.fetches[at] = fetch;
                    for (size_t i = 3; i < n; ++i)
                        if (m.textures.count(w[i])) return false;
                    return true;
                }
                break;
            default:
                break;
        }
        if (isDebugOrDecoration(op) || isConstant(op)) return true;
        // Any other instruction that names a loaded texture is a use the read
        // cannot stand for (a size query, a copy, a sampling).
        for (size_t i = 0; i < n; ++i)
            if (m.textures.count(w[i])) return false;
        return true;
    });
}

void append(std::vector<uint32_t>& out, Op op, std::initializer_list<uint32_t> operands) {
    out.push_back(uint32_t(operands.size() + 1) << WordCountShift | op);
    out.insert(out.end(), operands);
}

// Whether the module has textures and every use of them can be rewritten.
bool surveyTextures(const std::vector<uint32_t>& words, Module& m) {
    return platform_spirv::hasHeader(words) && survey(words, m) && !m.textureTypes.empty();
}

}  // namespace

bool texturesReadableAsStorageImages(const std::vector<uint32_t>& words) {
    Module m;
    return surveyTextures(words, m);
}

bool readTexturesAsStorageImages(std::vector<uint32_t>& words, ImageFormat format) {
    Module m;
    if (!surveyTextures(words, m)) return false;

    std::vector<uint32_t> out(words.begin(), words.begin() + platform_spirv::kHeaderWords);
    out.reserve(words.size() + 4 * m.fetches.size() + 2);
    uint32_t bound = words[3];
    bool capabilityAdded = m.hasExtendedFormats;
    forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t at) {
        if (op == OpImageFetch) {
            auto fetch = m.fetches.find(at);
            if (fetch != m.fetches.end()) {
                uint32_t coordinate = w[3];
                if (fetch->second.offset) {
                    coordinate = bound++;
                    append(out, OpIAdd, {fetch->second.offsetType, coordinate, w[3], fetch->second.offset});
                }
                append(out, OpImageRead, {w[0], w[1], w[2], coordinate});
                return;
            }
        }
        const size_t first = out.size();
        out.insert(out.end(), words.begin() + at, words.begin() + at + n + 1);
        if (op == OpTypeImage && m.textureTypes.count(w[0])) {
            out[first + 1 + kImageSampled] = 2;
            out[first + 1 + kImageFormat] = format;
        }
        if (op == OpCapability && !capabilityAdded) {
            append(out, OpCapability, {CapabilityStorageImageExtendedFormats});
            capabilityAdded = true;
        }
    });
    out[3] = bound;
    words.swap(out);
    return true;
}

}  // namespace d3d11vk
