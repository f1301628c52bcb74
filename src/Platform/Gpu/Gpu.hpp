#pragma once

// The GPU compute layer over OpenCL 1.2.
//
// Binding convention, the same for every kernel (the prelude defines the macros):
//   kernel void f(LV_GRID, LV_TEXTURE(t0), LV_TEXTURE(t1), ..., b0, b1, ...)
// - The first argument is LV_GRID: the true grid size (lv_grid.xyz). Launches are rounded up
//   to whole work groups, so a kernel guards with LV_IN_GRID() without skipping barriers.
// - Then one LV_TEXTURE(name) per texture index 0, 1, 2... in order (setTexture(t, i) binds
//   the i-th); inside, LV_TEX(name) gives an lv_tex for lv_read/lv_write, lv_read_half4 and
//   the other helpers. A texture is its memory plus an lv_texture_desc (size, slices, format,
//   offset and row, pixel and slice pitches).
// - Then one argument per buffer index 0, 1, 2... in order: a global or constant pointer takes
//   setBuffer (or setBytes, copied into a small buffer); a value argument (a scalar, vector or
//   struct) takes setBytes of exactly its size. setBytes and setBuffer share the index space.
// - Unbound textures and pointers arrive as null (a zero descriptor); an unbound value is an
//   error reported by the command buffer.
// SIMD groups are 32-item slices of a work group exchanging through local memory
// (lv_simd_shuffle, lv_simd_sum...; every item of the work group must call them); pipelines
// report a threadExecutionWidth of 32. Feature images are rgba16Float slices read with
// lv_read_half4 and computed in float.
// On CPU devices a kernel is fast when the compiler can vectorize it: hold the accumulators of
// all output channels in float vectors (float16), use fma, read weights through typed vector
// pointers (global const float16*), and loop over pixels outside the loop over channels
// (kernels/Convolution.cl is the worked example).

#include "Platform/Gpu/Commands.hpp"
#include "Platform/Gpu/Device.hpp"
#include "Platform/Gpu/Library.hpp"
#include "Platform/Gpu/Neural.hpp"
#include "Platform/Gpu/Resources.hpp"
#include "Platform/Gpu/Types.hpp"
