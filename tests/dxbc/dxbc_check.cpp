// The kernel texts through vkd3d-shader's HLSL compiler, which emits the same
// shader-model-5 bytecode (DXBC) as the Direct3D compiler on Windows: each
// text as the plug-in carries it, compiled as the plug-in compiles it (entry
// "CS", every profile the plug-in may choose, its flags and macro texts), the
// fixed forms over a sweep of tracks. Prints a table and fails when a form
// does not compile, takes more than 2 s, declares an indexable temporary
// (a run-time indexed array, which a GPU keeps in local memory), or, for a
// runtime form, is over 60 KiB (the registry cache holds at most 64 KiB).
//
// Two constructs that vkd3d 1.17 cannot compile yet are rewritten into their
// equivalents first (vkd3d_equivalents.h), as the Windows host under Wine does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "gpu/kernels.h"
#include "gpu/shader_build.h"
#include "tests/dxbc/vkd3d_equivalents.h"

// vkd3d's Windows types define min and max as macros: after the C++ headers.
#define NOMINMAX
#include <vkd3d_shader.h>
#include <vkd3d_utils.h>

namespace {

constexpr double kCompileLimitMs = 2000.0;
constexpr size_t kRuntimeLimitBytes = 60 * 1024;

struct Figures {
    bool compiled = false;
    std::string messages;
    double ms = 0;
    size_t bytes = 0;
    int instructions = 0;
    int temps = 0;
    int indexable = 0;
    int loops = 0;
};

// Counts from vkd3d's disassembly: declarations, instructions and loops.
void readListing(const std::string& listing, Figures* f) {
    std::istringstream lines(listing);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        const std::string word = line.substr(start, line.find_first_of(" (", start) - start);
        if (first) {  // the profile, e.g. cs_5_0
            first = false;
            continue;
        }
        if (word == "dcl_temps") f->temps = std::atoi(line.c_str() + start + 10);
        if (word == "dcl_indexableTemp") ++f->indexable;
        if (word.rfind("dcl_", 0) == 0) continue;
        if (word == "loop") ++f->loops;
        ++f->instructions;
    }
}

Figures compile(const std::string& text, const D3D_SHADER_MACRO* macros, const char* profile) {
    Figures f;
    ID3DBlob* code = nullptr;
    ID3DBlob* messages = nullptr;
    const auto start = std::chrono::steady_clock::now();
    HRESULT hr = D3DCompile2VKD3D(text.data(), text.size(), nullptr, macros, nullptr, "CS", profile,
                                  shaderCompileFlags, 0, 0, nullptr, 0, &code, &messages, 47);
    f.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (messages) {
        f.messages.assign(static_cast<const char*>(messages->GetBufferPointer()),
                          messages->GetBufferSize());
        messages->Release();
    }
    if (FAILED(hr) || !code) return f;
    f.compiled = true;
    f.bytes = code->GetBufferSize();

    vkd3d_shader_compile_info info{};
    info.type = VKD3D_SHADER_STRUCTURE_TYPE_COMPILE_INFO;
    info.source.code = code->GetBufferPointer();
    info.source.size = f.bytes;
    info.source_type = VKD3D_SHADER_SOURCE_DXBC_TPF;
    info.target_type = VKD3D_SHADER_TARGET_D3D_ASM;
    info.log_level = VKD3D_SHADER_LOG_NONE;
    vkd3d_shader_code listing{};
    if (vkd3d_shader_compile(&info, &listing, nullptr) == VKD3D_OK) {
        readListing(std::string(static_cast<const char*>(listing.code), listing.size), &f);
        vkd3d_shader_free_shader_code(&listing);
    }
    code->Release();
    return f;
}

struct Tracks {
    int space;
    int time;
};

struct Text {
    const char* name;
    const char* source;
    bool runtime;
    std::string rewritten;
};

// Compiles one form (a fixed form at `tracks`), prints its figures and
// whatever is wrong with it; false when something is.
bool checkForm(const Text& t, const char* profile, const Tracks& tracks) {
    const FixedMacros<D3D_SHADER_MACRO> fixed(tracks.space, tracks.time, 50);
    const D3D_SHADER_MACRO* macros = fixed.macros;
    Figures f = compile(t.rewritten, t.runtime ? nullptr : macros, profile);
    // A busy machine slows one compile: a form over the limit is
    // compiled twice more and judged by its fastest time.
    for (int again = 0; again < 2 && f.compiled && f.ms > kCompileLimitMs; ++again)
        f.ms = std::min(f.ms, compile(t.rewritten, t.runtime ? nullptr : macros, profile).ms);
    char trackText[16];
    std::snprintf(trackText, sizeof trackText, t.runtime ? "-" : "R%d T%d", tracks.space, tracks.time);
    std::printf("%-15s %-7s %-8s %9.0f %8zu %7d %6d %10d %6d", t.name, trackText, profile, f.ms, f.bytes,
                f.instructions, f.temps, f.indexable, f.loops);
    std::string problems;
    if (!f.compiled) problems += " does-not-compile";
    if (f.ms > kCompileLimitMs) problems += " slow";
    if (f.indexable > 0) problems += " indexable-temporary";
    if (t.runtime && f.bytes > kRuntimeLimitBytes) problems += " over-60KiB";
    if (!problems.empty()) std::printf("   FAIL:%s", problems.c_str());
    std::printf("\n");
    if (!f.compiled) std::printf("%s\n", f.messages.c_str());
    return problems.empty();
}

}  // namespace

int main() {
    Text texts[] = {{"luma runtime", lumaRuntimeSource, true, {}},
                    {"chroma runtime", chromaRuntimeSource, true, {}},
                    {"luma fixed", lumaFixedSource, false, {}},
                    {"chroma fixed", chromaFixedSource, false, {}}};
    int failures = 0;
    for (Text& t : texts) {
        t.rewritten = t.source;
        if (!rewriteForVkd3d(&t.rewritten)) {
            std::printf("FAIL %s: the output buffer's declaration or stores are not in the expected form\n", t.name);
            ++failures;
        }
    }

    // Every corner of the track ranges, the defaults, and a few between,
    // around where the fixed forms change their search.
    const Tracks sweep[] = {{0, 0}, {0, 7}, {16, 0}, {16, 7}, {3, 1}, {3, 0}, {0, 1}, {4, 1},
                            {16, 1}, {1, 2}, {2, 3}, {8, 3}, {4, 7}, {10, 0}};
    const char* const profiles[] = {"cs_5_0", "cs_4_1", "cs_4_0"};  // feature levels 11_0, 10_1, 10_0

    std::printf("%-15s %-7s %-8s %9s %8s %7s %6s %10s %6s\n", "form", "tracks", "profile", "ms", "bytes",
                "instr", "temps", "indexable", "loops");
    for (const char* profile : profiles) {
        for (const Text& t : texts) {
            const size_t runs = t.runtime ? 1 : sizeof(sweep) / sizeof(sweep[0]);
            for (size_t i = 0; i < runs; ++i)
                if (!checkForm(t, profile, sweep[i])) ++failures;
        }
    }
    if (failures) {
        std::printf("dxbc_check: %d failures\n", failures);
        return 1;
    }
    std::printf("dxbc_check: every form compiles, in time, without indexable temporaries, runtime forms under 60 KiB\n");
    return 0;
}
