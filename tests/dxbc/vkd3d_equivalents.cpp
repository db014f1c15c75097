#include "tests/dxbc/vkd3d_equivalents.h"

#include <regex>

bool rewriteForVkd3d(std::string* text) {
    const std::string structured = "RWStructuredBuffer<float3> outBuff;";
    const size_t at = text->find(structured);
    if (at == std::string::npos) return false;
    text->replace(at, structured.size(), "RWByteAddressBuffer outBuff;");
    const std::string threads = "[numthreads(16 / 2,";
    // Only the chroma kernel writes its thread count as an expression.
    const size_t threadsAt = text->find(threads);
    if (threadsAt != std::string::npos)
        text->replace(threadsAt, threads.size(), "[numthreads(8,");
    static const std::regex store(R"(outBuff\[(.+)\]\.([xyz]) = (.+);)");
    std::string out;
    std::smatch m;
    std::string rest = *text;
    int stores = 0;
    while (std::regex_search(rest, m, store)) {
        const int component = m[2].str()[0] - 'x';
        out += m.prefix().str() + "outBuff.Store((" + m[1].str() + ") * 12 + " + std::to_string(4 * component) +
               ", asuint(" + m[3].str() + "));";
        rest = m.suffix().str();
        ++stores;
    }
    *text = out + rest;
    return stores > 0 && text->find("outBuff[") == std::string::npos;
}
