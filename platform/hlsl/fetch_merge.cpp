#include "platform/hlsl/fetch_merge.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "platform/spirv_walk.h"

namespace platform_hlsl {
namespace {

using namespace spv;

// An integer value as base + constant (mod 2^32). Base 0 is the constant
// alone; other bases name a scalar id, or a component of a vector id that the
// walk cannot see through (tagged in the high bits).
struct Term {
    uint64_t base = 0;
    uint32_t constant = 0;
    bool operator<(const Term& o) const { return std::tie(base, constant) < std::tie(o.base, o.constant); }
};

struct Def {
    Op op = OpNop;
    size_t offset = 0;
    uint32_t block = 0;
    uint32_t function = 0;  // the label of its function's first block
};

class Values {
public:
    explicit Values(const std::vector<uint32_t>& words) : words_(words) {}

    void define(uint32_t id, const Def& def) { defs_[id] = def; }
    void defineVectorType(uint32_t id, uint32_t components) { vectorSizes_[id] = components; }
    void defineIntType(uint32_t id) { intTypes_[id] = true; }
    const Def* def(uint32_t id) const {
        auto it = defs_.find(id);
        return it == defs_.end() ? nullptr : &it->second;
    }
    const uint32_t* operands(const Def& d) const { return &words_[d.offset + 1]; }
    size_t count(const Def& d) const { return (words_[d.offset] >> WordCountShift) - 1; }
    uint32_t vectorSize(uint32_t type) const {
        auto it = vectorSizes_.find(type);
        return it == vectorSizes_.end() ? 0 : it->second;
    }

    Term scalar(uint32_t id, int depth = 0) const {
        const Def* d = def(id);
        Term opaque{id, 0};
        if (!d || depth > 32) return opaque;
        const uint32_t* o = operands(*d);
        const size_t n = count(*d);
        switch (d->op) {
            case OpConstant:
                if (n == 3 && intTypes_.count(o[0])) return Term{0, o[2]};
                return opaque;
            case OpIAdd:
            case OpISub: {
                if (n != 4 || !intTypes_.count(o[0])) return opaque;
                const Term a = scalar(o[2], depth + 1), b = scalar(o[3], depth + 1);
                return combine(d->op, a, b, opaque);
            }
            case OpCompositeExtract:
                if (n == 4) return component(o[2], o[3], depth + 1);
                return opaque;
            default:
                return opaque;
        }
    }

    // Component i of an integer vector.
    Term component(uint32_t id, uint32_t i, int depth = 0) const {
        const Def* d = def(id);
        Term opaque{(uint64_t(i) + 1) << 32 | id, 0};
        if (!d || depth > 32) return opaque;
        const uint32_t* o = operands(*d);
        const size_t n = count(*d);
        switch (d->op) {
            case OpConstantComposite:
            case OpCompositeConstruct:
                // Only constructions from scalars, one per component.
                if (n == 2 + size_t(vectorSize(o[0])) && i < n - 2 && !vectorSize(typeOf(o[2 + i])))
                    return d->op == OpConstantComposite ? scalar(o[2 + i], depth + 1) : scalar(o[2 + i], depth + 1);
                return opaque;
            case OpVectorShuffle: {
                if (n < 4 || i >= n - 4) return opaque;
                const uint32_t select = o[4 + i];
                const uint32_t first = vectorSize(typeOf(o[2]));
                if (!first || select == 0xFFFFFFFFu) return opaque;
                return select < first ? component(o[2], select, depth + 1) : component(o[3], select - first, depth + 1);
            }
            case OpIAdd:
            case OpISub: {
                if (n != 4 || !vectorSize(o[0])) return opaque;
                const Term a = component(o[2], i, depth + 1), b = component(o[3], i, depth + 1);
                return combine(d->op, a, b, opaque);
            }
            default:
                return opaque;
        }
    }

    void defineType(uint32_t id, uint32_t type) { types_[id] = type; }
    uint32_t typeOf(uint32_t id) const {
        auto it = types_.find(id);
        return it == types_.end() ? 0 : it->second;
    }

private:
    static Term combine(Op op, const Term& a, const Term& b, const Term& opaque) {
        if (op == OpIAdd) {
            if (a.base == 0) return Term{b.base, b.constant + a.constant};
            if (b.base == 0) return Term{a.base, a.constant + b.constant};
            return opaque;
        }
        if (b.base == 0) return Term{a.base, a.constant - b.constant};
        return opaque;
    }

    const std::vector<uint32_t>& words_;
    std::unordered_map<uint32_t, Def> defs_;
    std::unordered_map<uint32_t, uint32_t> vectorSizes_;
    std::unordered_map<uint32_t, bool> intTypes_;
    std::unordered_map<uint32_t, uint32_t> types_;  // result id -> its type
};

struct FetchKey {
    uint32_t resultType, image;
    Term x, y, level;
    uint32_t function;
    bool operator<(const FetchKey& o) const {
        return std::tie(resultType, image, x, y, level, function) <
               std::tie(o.resultType, o.image, o.x, o.y, o.level, o.function);
    }
};

struct Earlier {
    uint32_t id;
    uint32_t block;
};

struct Fetch {
    size_t offset;
    uint32_t words;
    FetchKey key;
    bool keyed;
    uint32_t block;
};

// Ops whose result id is their second operand and type their first.
bool typedResult(Op op) {
    switch (op) {
        case OpConstant: case OpConstantComposite: case OpCompositeConstruct: case OpCompositeExtract:
        case OpVectorShuffle: case OpIAdd: case OpISub: case OpImageFetch: case OpLoad: case OpBitcast:
        case OpPhi: case OpAccessChain: case OpVariable: case OpCopyObject:
            return true;
        default:
            return false;
    }
}

// Walks the module once: the definitions the terms are read from, and every
// fetch inside a function. False when the module is not whole.
bool collectFetches(const std::vector<uint32_t>& words, Values& values, std::vector<Fetch>& fetches) {
    uint32_t block = 0, function = 0;
    bool firstBlockDue = false;
    return platform_spirv::forEachInstruction(words, [&](Op op, const uint32_t* o, size_t n, size_t at) {
        if (op == OpFunction) firstBlockDue = true;
        if (op == OpLabel && n >= 1) {
            block = o[0];
            if (firstBlockDue) function = block;
            firstBlockDue = false;
        }
        if (op == OpTypeInt && n >= 3 && o[1] == 32) values.defineIntType(o[0]);
        if (op == OpTypeVector && n >= 3) values.defineVectorType(o[0], o[2]);
        if (typedResult(op) && n >= 2) {
            values.define(o[1], Def{op, at, block, function});
            values.defineType(o[1], o[0]);
        }
        if (op == OpImageFetch && n >= 4 && function) fetches.push_back(Fetch{at, uint32_t(n + 1), {}, false, block});
    });
}

// The texel a fetch reads, as terms; left unkeyed when its operands are not
// a 2-D coordinate with at most a level and a constant offset.
void keyFetch(const std::vector<uint32_t>& words, const Values& values, Fetch& f) {
    const uint32_t* o = &words[f.offset + 1];
    const size_t n = f.words - 1;
    const uint32_t mask = n >= 5 ? o[4] : 0;
    if ((mask & ~uint32_t(ImageOperandsLodMask | ImageOperandsConstOffsetMask)) != 0) return;
    if (values.vectorSize(values.typeOf(o[3])) != 2) return;
    size_t next = 5;
    Term level{0, 0};
    if (mask & ImageOperandsLodMask) {
        if (next >= n) return;
        level = values.scalar(o[next++]);
    }
    Term x = values.component(o[3], 0), y = values.component(o[3], 1);
    if (mask & ImageOperandsConstOffsetMask) {
        if (next >= n) return;
        const Term dx = values.component(o[next], 0), dy = values.component(o[next], 1);
        ++next;
        if (dx.base != 0 || dy.base != 0) return;
        x.constant += dx.constant;
        y.constant += dy.constant;
    }
    if (next != n) return;
    const Def* d = values.def(o[1]);
    f.key = FetchKey{o[0], o[2], x, y, level, d ? d->function : 0};
    f.keyed = true;
}

// The fetches that repeat an earlier one they are sure to follow: the
// offset of each, with the earlier result it copies.
std::unordered_map<size_t, uint32_t> findRepeats(const std::vector<uint32_t>& words,
                                                  const std::vector<Fetch>& fetches) {
    std::map<FetchKey, Earlier> seen;
    std::unordered_map<size_t, uint32_t> copyOf;
    for (const Fetch& f : fetches) {
        if (!f.keyed) continue;
        auto it = seen.find(f.key);
        if (it != seen.end() && (it->second.block == f.block || it->second.block == f.key.function)) {
            copyOf[f.offset] = it->second.id;
            continue;
        }
        // A fetch of the first block is seen by every later one of its function.
        if (it == seen.end() || f.block == f.key.function) seen[f.key] = Earlier{words[f.offset + 2], f.block};
        else it->second = Earlier{words[f.offset + 2], f.block};
    }
    return copyOf;
}

// The module with each repeated fetch replaced by a copy of the earlier result.
void rewriteAsCopies(std::vector<uint32_t>& words, const std::unordered_map<size_t, uint32_t>& copyOf) {
    std::vector<uint32_t> out(words.begin(), words.begin() + platform_spirv::kHeaderWords);
    out.reserve(words.size());
    platform_spirv::forEachInstruction(words, [&](Op, const uint32_t* o, size_t n, size_t at) {
        auto it = copyOf.find(at);
        if (it == copyOf.end()) {
            out.insert(out.end(), words.begin() + at, words.begin() + at + n + 1);
            return;
        }
        out.push_back(4u << WordCountShift | OpCopyObject);
        out.push_back(o[0]);
        out.push_back(o[1]);
        out.push_back(it->second);
    });
    words.swap(out);
}

}  // namespace

int mergeRepeatedFetches(std::vector<uint32_t>& words) {
    const char* keep = std::getenv("QUENDA_HLSL_KEEP_FETCHES");
    if ((keep && std::strcmp(keep, "1") == 0) || !platform_spirv::hasHeader(words)) return 0;

    Values values(words);
    std::vector<Fetch> fetches;
    if (!collectFetches(words, values, fetches)) return 0;
    for (Fetch& f : fetches) keyFetch(words, values, f);
    const std::unordered_map<size_t, uint32_t> copyOf = findRepeats(words, fetches);
    if (copyOf.empty()) return 0;
    rewriteAsCopies(words, copyOf);
    return static_cast<int>(copyOf.size());
}

}  // namespace platform_hlsl
