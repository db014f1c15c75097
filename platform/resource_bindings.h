// Where a compiled kernel's resources sit, agreed between the HLSL compiler
// stand-in (which assigns them) and the Direct3D stand-in (which binds them):
// the register t0.. array, the cbuffer at b0 and the RWStructuredBuffer at
// u0, each at a fixed binding of descriptor set 0 as compiled.
#pragma once

#include <cstdint>

namespace platform_bindings {

constexpr uint32_t kCompilerSet = 0;
constexpr uint32_t kTextureBinding = 0;
constexpr uint32_t kTextureSlots = 16;
constexpr uint32_t kConstantBufferBinding = kTextureBinding + kTextureSlots;
constexpr uint32_t kUavBinding = kConstantBufferBinding + 1;

}  // namespace platform_bindings
