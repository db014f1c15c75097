#include "platform/hlsl/hlsl_front.h"

#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>

#include <mutex>

#include "platform/resource_bindings.h"

namespace platform_hlsl {
namespace {

// glslang's process state is set up once and kept until exit; each compile
// then works on objects of its own, so calls may come from any thread.
void initGlslangOnce() {
    static std::once_flag once;
    std::call_once(once, [] { glslang::InitializeProcess(); });
}

void appendLog(std::string* log, const char* text) {
    if (text && *text) log->append(text);
}

}  // namespace

bool hlslToSpirv(const char* source, size_t length, const std::string& preamble,
                 const char* entryPoint, std::vector<uint32_t>* words, std::string* log) {
    initGlslangOnce();
    log->clear();

    // HLSL offsets: constant buffers packed by Direct3D's rules, not std140.
    const auto messages =
        static_cast<EShMessages>(EShMsgSpvRules | EShMsgVulkanRules | EShMsgReadHlsl | EShMsgHlslOffsets);
    glslang::TShader shader(EShLangCompute);
    const int sourceLength = static_cast<int>(length);
    shader.setStringsWithLengths(&source, &sourceLength, 1);
    shader.setPreamble(preamble.c_str());
    shader.setEntryPoint(entryPoint);
    shader.setSourceEntryPoint(entryPoint);
    shader.setEnvInput(glslang::EShSourceHlsl, EShLangCompute, glslang::EShClientVulkan, 100);
    shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_1);
    shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_3);
    // The register numbers pick the binding within each class; auto-mapping
    // gives registerless resources (the kernels' outBuff) a binding of their
    // class instead of letting them collide with the textures at 0.
    shader.setHlslIoMapping(true);
    shader.setAutoMapBindings(true);
    // Register classes to the bindings the Direct3D stand-in expects.
    shader.setShiftBinding(glslang::EResTexture, platform_bindings::kTextureBinding);
    shader.setShiftBinding(glslang::EResUbo, platform_bindings::kConstantBufferBinding);
    shader.setShiftBinding(glslang::EResUav, platform_bindings::kUavBinding);

    const bool parsed = shader.parse(GetDefaultResources(), 100, false, messages);
    appendLog(log, shader.getInfoLog());
    if (!parsed) return false;

    glslang::TProgram program;
    program.addShader(&shader);
    const bool linked = program.link(messages) && program.mapIO();
    appendLog(log, program.getInfoLog());
    if (!linked) return false;

    glslang::SpvOptions options;
    options.disableOptimizer = true;  // SPIRV-Tools runs afterwards when asked to
    spv::SpvBuildLogger logger;
    words->clear();
    glslang::GlslangToSpv(*program.getIntermediate(EShLangCompute), *words, &logger, &options);
    log->append(logger.getAllMessages());
    return !words->empty();
}

}  // namespace platform_hlsl
