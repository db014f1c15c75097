#include "platform/d3d11/constant_specialisation.h"

#include <map>
#include <unordered_map>
#include <unordered_set>

#include "platform/resource_bindings.h"
#include "platform/spirv_walk.h"

namespace d3d11vk {
namespace {

using namespace spv;
using platform_spirv::forEachInstruction;

struct Survey {
    std::unordered_set<uint32_t> intTypes;                     // 32-bit integer types
    std::unordered_map<uint32_t, uint32_t> constants;          // id -> value
    std::unordered_map<uint32_t, std::vector<uint32_t>> structs;  // id -> member types
    std::unordered_map<uint32_t, uint32_t> pointees;           // pointer type -> pointee
    std::unordered_map<uint32_t, uint32_t> bindings;           // id -> binding
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> offsets;  // (struct, member) -> byte offset
    std::unordered_map<uint32_t, uint32_t> variableTypes;      // Uniform variable -> pointer type
    std::unordered_map<uint32_t, uint32_t> memberPointers;     // access chain -> member index
    std::unordered_map<size_t, uint32_t> loads;                // offset of the load -> member index
    std::unordered_map<uint32_t, uint32_t> loaded;             // loaded value -> member index
    uint32_t block = 0, buffer = 0;                            // the constant buffer's struct and variable
    bool unrollableLoop = false;                               // a loop not marked DontUnroll
};

void survey(const std::vector<uint32_t>& words, Survey& s) {
    forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t) {
        switch (op) {
            case OpTypeInt: if (n == 3 && w[1] == 32) s.intTypes.insert(w[0]); break;
            case OpConstant: if (n == 3) s.constants[w[1]] = w[2]; break;
            case OpTypeStruct: s.structs[w[0]].assign(w + 1, w + n); break;
            case OpTypePointer: if (n == 3) s.pointees[w[0]] = w[2]; break;
            case OpDecorate: if (n >= 3 && w[1] == DecorationBinding) s.bindings[w[0]] = w[2]; break;
            case OpMemberDecorate:
                if (n >= 4 && w[2] == DecorationOffset) s.offsets[{w[0], w[1]}] = w[3];
                break;
            case OpVariable: if (n >= 3 && w[2] == StorageClassUniform) s.variableTypes[w[1]] = w[0]; break;
            case OpLoopMerge: if (n >= 3 && !(w[2] & LoopControlDontUnrollMask)) s.unrollableLoop = true; break;
            default: break;
        }
    });
    for (const auto& [variable, pointer] : s.variableTypes) {
        auto binding = s.bindings.find(variable);
        if (binding != s.bindings.end() && binding->second == platform_bindings::kConstantBufferBinding) {
            s.buffer = variable;
            s.block = s.pointees[pointer];
        }
    }
}

// The loads of integer members through one-index access chains of the buffer.
void findLoads(const std::vector<uint32_t>& words, Survey& s) {
    auto members = s.structs.find(s.block);
    if (!s.buffer || members == s.structs.end()) return;
    forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t at) {
        if ((op == OpAccessChain || op == OpInBoundsAccessChain) && n == 4 && w[2] == s.buffer) {
            auto index = s.constants.find(w[3]);
            if (index != s.constants.end() && index->second < members->second.size() &&
                s.intTypes.count(members->second[index->second]) && s.offsets.count({s.block, index->second}))
                s.memberPointers[w[1]] = index->second;
        } else if (op == OpLoad && n >= 3) {
            auto member = s.memberPointers.find(w[2]);
            if (member != s.memberPointers.end()) {
                s.loads[at] = member->second;
                s.loaded[w[1]] = member->second;
            }
        }
    });
    // Only the members that a comparison reads, which may steer a branch or
    // bound a loop; a member that only enters arithmetic stays a load.
    std::unordered_set<uint32_t> compared;
    forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t) {
        if (op < OpIEqual || op > OpSLessThanEqual || n < 4) return;
        for (size_t i = 2; i < 4; ++i) {
            auto member = s.loaded.find(w[i]);
            if (member != s.loaded.end()) compared.insert(member->second);
        }
    });
    for (auto load = s.loads.begin(); load != s.loads.end();)
        load = compared.count(load->second) ? std::next(load) : s.loads.erase(load);
}

void append(std::vector<uint32_t>& out, Op op, std::initializer_list<uint32_t> operands) {
    out.push_back(uint32_t(operands.size() + 1) << WordCountShift | op);
    out.insert(out.end(), operands);
}

}  // namespace

bool specialiseIntegerConstants(std::vector<uint32_t>& words, std::vector<VkSpecializationMapEntry>& entries) {
    if (!platform_spirv::hasHeader(words)) return false;
    Survey s;
    survey(words, s);
    // A loop whose bound turns constant may then be unrolled by the driver,
    // which changes the code past what was compiled (and lavapipe 22.3 crashes
    // unrolling one that indexes a texture array by its counter): only
    // modules whose loops all stay loops are specialised.
    if (s.unrollableLoop) return false;
    findLoads(words, s);
    if (s.loads.empty()) return false;

    // One constant per member loaded, declared after the member's type.
    uint32_t bound = words[3];
    std::map<uint32_t, uint32_t> constantOf;  // member -> constant id
    for (const auto& load : s.loads)
        if (!constantOf.count(load.second)) constantOf[load.second] = bound++;
    const std::vector<uint32_t>& members = s.structs[s.block];

    std::vector<uint32_t> out(words.begin(), words.begin() + platform_spirv::kHeaderWords);
    out.reserve(words.size() + 8 * constantOf.size());
    bool decorated = false;
    forEachInstruction(words, [&](Op op, const uint32_t* w, size_t n, size_t at) {
        auto load = s.loads.find(at);
        if (load != s.loads.end()) {
            append(out, OpCopyObject, {w[0], w[1], constantOf[load->second]});
            return;
        }
        if (!decorated && (op == OpDecorate || op == OpMemberDecorate)) {
            for (const auto& [member, id] : constantOf) append(out, OpDecorate, {id, DecorationSpecId, member});
            decorated = true;
        }
        out.insert(out.end(), words.begin() + at, words.begin() + at + n + 1);
        if (op == OpTypeInt)
            for (const auto& [member, id] : constantOf)
                if (members[member] == w[0]) append(out, OpSpecConstant, {w[0], id, 0});
    });
    out[3] = bound;
    words.swap(out);
    entries.clear();
    for (const auto& [member, id] : constantOf)
        entries.push_back({member, s.offsets[{s.block, member}], sizeof(uint32_t)});
    return true;
}

}  // namespace d3d11vk
