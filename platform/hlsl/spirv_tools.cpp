#include "platform/hlsl/spirv_tools.h"

#include "platform/hlsl/fetch_merge.h"
#include "platform/hlsl/loop_unroll.h"

#include <spirv-tools/libspirv.hpp>
#include <spirv-tools/optimizer.hpp>

#include <cstring>
#include <unordered_set>

#include "platform/spirv_walk.h"

namespace platform_hlsl {
namespace {

using platform_spirv::forEachInstruction;

constexpr spv_target_env kTargetEnv = SPV_ENV_VULKAN_1_1;
// Words that fully unrolled loops may add to a module: the kernels at their
// default radius fit, larger windows keep their loops.
constexpr size_t kUnrollWordBudget = 12288;

spvtools::ValidatorOptions validatorOptions() {
    spvtools::ValidatorOptions options;
    options.SetScalarBlockLayout(true);
    return options;
}

spvtools::MessageConsumer collectInto(std::string* log) {
    return [log](spv_message_level_t, const char*, const spv_position_t& position, const char* message) {
        if (!log) return;
        log->append("SPIR-V (word ").append(std::to_string(position.index)).append("): ");
        log->append(message ? message : "").append("\n");
    };
}

}  // namespace

int packVec3Strides(std::vector<uint32_t>& words) {
    if (!platform_spirv::hasHeader(words)) return 0;
    std::unordered_set<uint32_t> scalars32, vec3s, arrays;
    // Types are declared after the decorations, so gather them first.
    forEachInstruction(words, [&](spv::Op op, uint32_t* operand, size_t n, size_t) {
        if ((op == spv::OpTypeFloat || op == spv::OpTypeInt) && n >= 2 && operand[1] == 32)
            scalars32.insert(operand[0]);
        if (op == spv::OpTypeVector && n == 3 && operand[2] == 3 && scalars32.count(operand[1]))
            vec3s.insert(operand[0]);
        if (op == spv::OpTypeRuntimeArray && n == 2 && vec3s.count(operand[1])) arrays.insert(operand[0]);
    });
    int rewritten = 0;
    forEachInstruction(words, [&](spv::Op op, uint32_t* operand, size_t n, size_t) {
        if (op == spv::OpDecorate && n == 3 && operand[1] == spv::DecorationArrayStride && arrays.count(operand[0]) &&
            operand[2] != 12) {
            operand[2] = 12;
            ++rewritten;
        }
    });
    return rewritten;
}

namespace {

bool runPerformancePasses(std::vector<uint32_t>& words, std::string* log) {
    spvtools::Optimizer optimizer(kTargetEnv);
    optimizer.SetMessageConsumer(collectInto(log));
    optimizer.RegisterPerformancePasses();
    spvtools::OptimizerOptions options;
    options.set_run_validator(true);
    options.set_validator_options(validatorOptions());
    options.set_preserve_bindings(true);
    std::vector<uint32_t> optimized;
    if (!optimizer.Run(words.data(), words.size(), &optimized, options)) return false;
    words.swap(optimized);
    return true;
}

}  // namespace

bool optimizeSpirv(std::vector<uint32_t>& words, std::string* log) {
    if (!runPerformancePasses(words, log)) return false;
    // SPIRV-Tools unrolls only the loops the source marks. A second round
    // unrolls the innermost loops that the first left with a constant trip
    // count (a search window of constant radius), where the copies are few.
    std::vector<uint32_t> unrolled = words;
    if (markLoopsForUnrolling(unrolled, kUnrollWordBudget) > 0) {
        std::string ignored;
        if (runPerformancePasses(unrolled, &ignored) && unrolled.size() <= words.size() + 2 * kUnrollWordBudget)
            words.swap(unrolled);
    }
    // Last, once the loops are laid out: repeated loads of one texel.
    mergeRepeatedFetches(words);
    return true;
}

bool validateSpirv(const void* bytes, size_t size, std::string* log) {
    if (!bytes || size < platform_spirv::kHeaderWords * 4 || size % 4 != 0) {
        if (log) log->append("SPIR-V: not a whole module\n");
        return false;
    }
    std::vector<uint32_t> words(size / 4);
    std::memcpy(words.data(), bytes, size);
    spvtools::SpirvTools tools(kTargetEnv);
    tools.SetMessageConsumer(collectInto(log));
    return tools.Validate(words.data(), words.size(), validatorOptions());
}

}  // namespace platform_hlsl
