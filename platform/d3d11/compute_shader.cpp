#include "platform/d3d11/compute_shader.h"

#include <spirv-tools/libspirv.hpp>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/d3d11/constant_specialisation.h"
#include "platform/d3d11/storage_textures.h"
#include "platform/d3d11/vk_check.h"
#include "platform/spirv_walk.h"

namespace d3d11vk {
namespace {

using namespace spv;

struct Variable {
    uint32_t pointerType;
    uint32_t storage;
};

std::string literalString(const uint32_t* words, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        for (int b = 0; b < 4; ++b) {
            char c = static_cast<char>((words[i] >> (8 * b)) & 0xff);
            if (!c) return text;
            text += c;
        }
    }
    return text;
}

// What the checks need of a module: its types, constants, decorations and
// variables by id, and its entry point.
struct ModuleFacts {
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> pointers;  // id -> storage, pointee
    std::unordered_map<uint32_t, std::vector<uint32_t>> images;            // id -> operands
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> arrays;    // id -> element, length id
    std::unordered_map<uint32_t, uint32_t> constants;
    std::unordered_map<uint32_t, uint32_t> bindings, sets;
    std::unordered_map<uint32_t, uint32_t> blockKind;  // struct id -> Block or BufferBlock
    std::unordered_map<uint32_t, Variable> variables;
    bool entryFound = false;
    uint32_t entryId = 0;
};

// The capabilities, extensions and work-group size the device must offer.
bool deviceOffers(const VulkanState& vk, const ModuleFacts& facts, Op op, const uint32_t* w, size_t n) {
    const ShaderFeatures& features = vk.shaderFeatures();
    const VkPhysicalDeviceLimits& limits = vk.limits();
    switch (op) {
        case OpCapability:
            return !((w[0] == CapabilityFloat64 && !features.float64) || (w[0] == CapabilityInt64 && !features.int64) ||
                     (w[0] == CapabilityInt16 && !features.int16) || w[0] == CapabilityFloat16 ||
                     w[0] == CapabilityInt8);
        case OpExtension:
            // Core in Vulkan 1.1; other extensions would need device extensions.
            return literalString(w, n) == "SPV_KHR_storage_buffer_storage_class";
        case OpExecutionMode:
            if (facts.entryFound && w[0] == facts.entryId && w[1] == ExecutionModeLocalSize && n >= 5) {
                for (int i = 0; i < 3; ++i)
                    if (w[2 + i] > limits.maxComputeWorkGroupSize[i]) return false;
                if (uint64_t(w[2]) * w[3] * w[4] > limits.maxComputeWorkGroupInvocations) return false;
            }
            return true;
        case OpExecutionModeId:
            return false;
        default:
            return true;
    }
}

// Walks the module once, noting the facts and checking what the device must
// offer; false at the first thing it does not.
bool gatherFacts(const VulkanState& vk, const std::vector<uint32_t>& words, ModuleFacts& facts) {
    return platform_spirv::forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t) {
        if (!deviceOffers(vk, facts, op, w, n)) return false;
        switch (op) {
            case OpEntryPoint:
                if (w[0] == ExecutionModelGLCompute && literalString(w + 2, n - 2) == "CS") {
                    facts.entryFound = true;
                    facts.entryId = w[1];
                }
                break;
            case OpTypeImage: facts.images[w[0]].assign(w + 1, w + n); break;
            case OpTypeArray: facts.arrays[w[0]] = {w[1], w[2]}; break;
            case OpConstant: facts.constants[w[1]] = w[2]; break;
            case OpTypePointer: facts.pointers[w[0]] = {w[1], w[2]}; break;
            case OpVariable: facts.variables[w[1]] = {w[0], w[2]}; break;
            case OpDecorate:
                if (w[1] == DecorationBinding) facts.bindings[w[0]] = w[2];
                if (w[1] == DecorationDescriptorSet) facts.sets[w[0]] = w[2];
                if (w[1] == DecorationBlock || w[1] == DecorationBufferBlock) facts.blockKind[w[0]] = w[1];
                break;
            default: break;
        }
        return true;
    });
}

// A sampled 2-D image, as HLSL Texture2D declares it.
bool isTexture(const ModuleFacts& facts, uint32_t type) {
    auto it = facts.images.find(type);
    if (it == facts.images.end() || it->second.size() < 6) return false;
    const auto& o = it->second;  // sampled type, dim, depth, arrayed, ms, sampled, format
    return o[1] == Dim2D && o[3] == 0 && o[4] == 0 && o[5] == 1;
}

// One resource variable against its binding of the one pipeline layout.
bool fitsBinding(const ModuleFacts& facts, uint32_t binding, uint32_t storage, uint32_t pointee) {
    switch (binding) {
        case kTextureBinding: {
            if (storage != StorageClassUniformConstant) return false;
            if (isTexture(facts, pointee)) return true;
            auto array = facts.arrays.find(pointee);
            if (array == facts.arrays.end() || !isTexture(facts, array->second.first)) return false;
            auto length = facts.constants.find(array->second.second);
            return length != facts.constants.end() && length->second <= kTextureSlots;
        }
        case kConstantBufferBinding: {
            auto kind = facts.blockKind.find(pointee);
            return storage == StorageClassUniform && kind != facts.blockKind.end() && kind->second == DecorationBlock;
        }
        case kUavBinding: {
            auto kind = facts.blockKind.find(pointee);
            if (kind == facts.blockKind.end()) return false;
            bool storageBuffer = storage == StorageClassStorageBuffer && kind->second == DecorationBlock;
            bool oldStyle = storage == StorageClassUniform && kind->second == DecorationBufferBlock;
            return storageBuffer || oldStyle;
        }
        default:
            return false;
    }
}

// Checks what the validator leaves to the pipeline: the entry point, the
// bindings against the one pipeline layout, the device's capabilities and
// limits. The module is already known to be well formed.
bool fitsDevice(const VulkanState& vk, const std::vector<uint32_t>& words) {
    ModuleFacts facts;
    if (!gatherFacts(vk, words, facts) || !facts.entryFound) return false;
    for (const auto& [id, variable] : facts.variables) {
        auto pointer = facts.pointers.find(variable.pointerType);
        if (pointer == facts.pointers.end()) return false;
        const uint32_t storage = variable.storage;
        if (storage == StorageClassPushConstant) return false;
        if (storage != StorageClassUniformConstant && storage != StorageClassUniform &&
            storage != StorageClassStorageBuffer)
            continue;
        auto set = facts.sets.find(id);
        auto binding = facts.bindings.find(id);
        if (set == facts.sets.end() || binding == facts.bindings.end() || set->second != kCompilerSet) return false;
        if (!fitsBinding(facts, binding->second, storage, pointer->second.second)) return false;
    }
    return true;
}

// Every resource of an accepted module is in the compiler's set.
void moveToResourceSet(std::vector<uint32_t>& words) {
    platform_spirv::forEachInstruction(words, [](Op op, uint32_t* operand, size_t n, size_t) {
        if (op == OpDecorate && n >= 3 && operand[1] == DecorationDescriptorSet) operand[2] = kResourceSet;
    });
}

VkPipeline buildPipeline(VulkanState& vk, std::vector<uint32_t> words, TextureRead read,
                         const VkSpecializationInfo* values) {
    const spv::ImageFormat format = read == TextureRead::StorageR16 ? spv::ImageFormatR16 : spv::ImageFormatRg16;
    if (read != TextureRead::Sampled && !readTexturesAsStorageImages(words, format)) return VK_NULL_HANDLE;
    auto moduleInfo = make<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
    moduleInfo.codeSize = words.size() * sizeof(uint32_t);
    moduleInfo.pCode = words.data();
    VkShaderModule module = VK_NULL_HANDLE;
    if (FAILED(VK(vkCreateShaderModule(vk.device(), &moduleInfo, nullptr, &module), DXGI_ERROR_DEVICE_REMOVED)))
        return VK_NULL_HANDLE;
    auto info = make<VkComputePipelineCreateInfo>(VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO);
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = "CS";
    info.stage.pSpecializationInfo = values;
    info.layout = vk.pipelineLayout(read != TextureRead::Sampled);
    VkPipeline pipeline = VK_NULL_HANDLE;
    if (FAILED(VK(vkCreateComputePipelines(vk.device(), VK_NULL_HANDLE, 1, &info, nullptr, &pipeline),
                  DXGI_ERROR_DEVICE_REMOVED)))
        pipeline = VK_NULL_HANDLE;
    vkDestroyShaderModule(vk.device(), module, nullptr);
    return pipeline;
}

}  // namespace

bool acceptableComputeModule(const VulkanState& vk, const std::vector<uint32_t>& words) {
    if (!platform_spirv::hasHeader(words)) return false;
    spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_1);
    tools.SetMessageConsumer([](spv_message_level_t, const char*, const spv_position_t&, const char*) {});
    spvtools::ValidatorOptions options;
    options.SetScalarBlockLayout(true);
    if (!tools.Validate(words.data(), words.size(), options)) return false;
    return fitsDevice(vk, words);
}

HRESULT ComputeShader::create(Device* device, const void* bytecode, SIZE_T length, ID3D11ComputeShader** out) {
    if (!bytecode || length == 0 || length % 4 != 0) return E_INVALIDARG;
    // The bytes may come from anywhere (a registry value): copy them into
    // aligned words and check them fully before Vulkan sees them.
    std::vector<uint32_t> words(length / 4);
    std::memcpy(words.data(), bytecode, length);
    VulkanState& vk = device->vk();
    if (!acceptableComputeModule(vk, words)) return E_INVALIDARG;

    std::unique_ptr<ComputeShader> shader(new (std::nothrow) ComputeShader(device));
    if (!shader) return E_OUTOFMEMORY;
    auto pipeline = std::make_shared<PipelineObject>();
    pipeline->vk = &vk;
    pipeline->storageReadable = vk.storageTextures() && texturesReadableAsStorageImages(words);
    // Specialised where lavapipe's storage reads are (CPU devices), unless
    // QUENDA_D3D11_GENERIC_PIPELINES=1.
    std::vector<uint32_t> specialised = words;
    const char* generic = std::getenv("QUENDA_D3D11_GENERIC_PIPELINES");
    if (!vk.storageTextures() || (generic && std::strcmp(generic, "1") == 0) ||
        !specialiseIntegerConstants(specialised, pipeline->specialised) || !acceptableComputeModule(vk, specialised)) {
        specialised.clear();
        pipeline->specialised.clear();
    }
    moveToResourceSet(words);
    moveToResourceSet(specialised);
    // The module is known good; the driver compiles it at the first dispatch,
    // so creating a shader costs little more than checking it.
    pipeline->build = [&vk, words = std::move(words), specialised = std::move(specialised)](
                          TextureRead read, const VkSpecializationInfo* values) {
        return buildPipeline(vk, values ? specialised : words, read, values);
    };
    shader->pipeline_ = std::move(pipeline);
    *out = shader.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ComputeShader::QueryInterface(REFIID riid, void** object) {
    return queryFor(riid, object, {IID_IUnknown, IID_ID3D11DeviceChild, IID_ID3D11ComputeShader});
}

}  // namespace d3d11vk
