// The two constructs of the kernel texts that vkd3d 1.17's HLSL compiler
// cannot compile yet, rewritten into equivalents that give the same bytecode
// addresses: a thread count written as an expression becomes its literal, and
// stores into the float3 structured output buffer become byte-address stores
// at the same addresses, one 32-bit store per component. Used by the DXBC
// check and by the Windows test host under Wine, so both compile one text.
#pragma once

#include <string>

// Rewrites *text in place; false when the text no longer has the constructs
// to rewrite (the output buffer's declaration or any store into it), so
// that neither check silently compiles something else.
bool rewriteForVkd3d(std::string* text);
