#include "platform/hlsl/loop_unroll.h"

#include <unordered_map>

#include "platform/spirv_walk.h"

namespace platform_hlsl {
namespace {

using namespace spv;

constexpr int64_t kMaxTripCount = 64;

struct Instruction {
    Op op = OpNop;
    size_t offset = 0;        // of the instruction's first word
    uint32_t block = 0;       // label of the block holding it
};

struct Loop {
    LoopShape shape;
    size_t controlOffset = 0;
    uint32_t header = 0;
    uint32_t merge = 0;
    uint32_t latch = 0;       // the continue target
    uint32_t condition = 0;   // of the header's conditional branch
    uint32_t whenTrue = 0;
};

class Module {
public:
    explicit Module(const std::vector<uint32_t>& words) : words_(words) {
        if (!platform_spirv::hasHeader(words)) return;
        uint32_t block = 0;
        bool branchDue = false;
        const bool whole = platform_spirv::forEachInstruction(words, [&](Op op, const uint32_t* operand, size_t n,
                                                                        size_t at) {
            if (op == OpLabel && n >= 1) {
                block = operand[0];
                labels_[block] = at;
            }
            // Result ids: first operand of types and labels, second of the rest.
            if ((op == OpTypeInt || op == OpLabel) && n >= 1) defs_[operand[0]] = Instruction{op, at, block};
            if ((op == OpConstant || op == OpIAdd || op == OpPhi || op == OpSLessThan || op == OpSLessThanEqual) &&
                n >= 2)
                defs_[operand[1]] = Instruction{op, at, block};
            if (branchDue) {
                // The branch that ends a loop header follows its OpLoopMerge.
                if (op == OpBranchConditional && n >= 3) {
                    loops_.back().condition = operand[0];
                    loops_.back().whenTrue = operand[1];
                }
                branchDue = false;
            }
            if (op == OpLoopMerge && n >= 3) {
                Loop loop;
                loop.header = block;
                loop.merge = operand[0];
                loop.latch = operand[1];
                loop.controlOffset = at + 3;
                loop.shape.control = operand[2];
                loops_.push_back(loop);
                branchDue = true;
            }
        });
        if (!whole) {
            loops_.clear();
            return;
        }
        for (Loop& loop : loops_) {
            auto header = labels_.find(loop.header);
            auto merge = labels_.find(loop.merge);
            if (header == labels_.end() || merge == labels_.end() || merge->second < header->second) continue;
            loop.shape.headerOffset = header->second;
            loop.shape.words = merge->second - header->second;
        }
        for (Loop& loop : loops_) {
            // Structured order puts a nested loop's header inside the span.
            loop.shape.innermost = loop.shape.words > 0;
            for (const Loop& other : loops_)
                if (other.shape.headerOffset > loop.shape.headerOffset &&
                    other.shape.headerOffset < loop.shape.headerOffset + loop.shape.words)
                    loop.shape.innermost = false;
            loop.shape.tripCount = tripCount(loop);
        }
    }

    std::vector<Loop>& loops() { return loops_; }

private:
    const uint32_t* operands(const Instruction& instruction) const { return &words_[instruction.offset + 1]; }
    size_t operandCount(const Instruction& instruction) const {
        return (words_[instruction.offset] >> WordCountShift) - 1;
    }

    const Instruction* def(uint32_t id) const {
        auto it = defs_.find(id);
        return it == defs_.end() ? nullptr : &it->second;
    }

    // The value of a 32-bit signed integer constant.
    bool constant(uint32_t id, int64_t* value) const {
        const Instruction* c = def(id);
        if (!c || c->op != OpConstant || operandCount(*c) != 3) return false;
        const Instruction* type = def(operands(*c)[0]);
        if (!type || type->op != OpTypeInt || operands(*type)[1] != 32 || operands(*type)[2] != 1) return false;
        *value = static_cast<int32_t>(operands(*c)[2]);
        return true;
    }

    // for (i = start; i < or <= bound; i += step), step > 0, with i a phi of
    // the header that takes the start on entry and i + step from the latch.
    int64_t tripCount(const Loop& loop) const {
        const Instruction* test = def(loop.condition);
        if (!test || (test->op != OpSLessThan && test->op != OpSLessThanEqual) || loop.whenTrue == loop.merge)
            return -1;
        int64_t bound = 0;
        const Instruction* phi = def(operands(*test)[2]);
        if (!constant(operands(*test)[3], &bound) || !phi || phi->op != OpPhi || phi->block != loop.header ||
            operandCount(*phi) != 6)
            return -1;
        const uint32_t* incoming = operands(*phi) + 2;  // value, parent, value, parent
        const uint32_t phiId = operands(*phi)[1];
        int64_t start = 0, step = 0;
        bool started = false, stepped = false;
        for (int k = 0; k < 2; ++k) {
            const uint32_t value = incoming[2 * k], parent = incoming[2 * k + 1];
            if (parent != loop.latch) {
                started = constant(value, &start);
                continue;
            }
            const Instruction* add = def(value);
            if (!add || add->op != OpIAdd) continue;
            const uint32_t a = operands(*add)[2], b = operands(*add)[3];
            stepped = (a == phiId && constant(b, &step)) || (b == phiId && constant(a, &step));
        }
        if (!started || !stepped || step <= 0) return -1;
        const int64_t last = test->op == OpSLessThan ? bound - 1 : bound;
        if (start > last) return 0;
        // The counter must not wrap before it leaves the loop.
        if (last + step > INT32_MAX) return -1;
        return (last - start) / step + 1;
    }

    const std::vector<uint32_t>& words_;
    std::unordered_map<uint32_t, Instruction> defs_;
    std::unordered_map<uint32_t, size_t> labels_;
    std::vector<Loop> loops_;
};

}  // namespace

std::vector<LoopShape> describeLoops(const std::vector<uint32_t>& words) {
    Module module(words);
    std::vector<LoopShape> shapes;
    for (const Loop& loop : module.loops()) shapes.push_back(loop.shape);
    return shapes;
}

int markLoopsForUnrolling(std::vector<uint32_t>& words, size_t wordBudget) {
    Module module(words);
    size_t added = 0;
    int marked = 0;
    for (const Loop& loop : module.loops()) {
        const LoopShape& s = loop.shape;
        // A loop that runs once is unrolled whatever its control: that adds
        // nothing, and puts its body beside the code before it.
        if (s.innermost && s.tripCount == 1 && !(s.control & LoopControlUnrollMask)) {
            words[loop.controlOffset] = (s.control & ~uint32_t(LoopControlDontUnrollMask)) | LoopControlUnrollMask;
            ++marked;
            continue;
        }
        if (!s.innermost || s.tripCount < 1 || s.tripCount > kMaxTripCount ||
            (s.control & (LoopControlUnrollMask | LoopControlDontUnrollMask)))
            continue;
        const size_t copies = s.words * static_cast<size_t>(s.tripCount - 1);
        if (added + copies > wordBudget) continue;
        added += copies;
        words[loop.controlOffset] |= LoopControlUnrollMask;
        ++marked;
    }
    return marked;
}

}  // namespace platform_hlsl
