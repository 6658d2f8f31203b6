// Which implementation of the per-series solve runs.
//
// Scalar is the reference: the documented operation order, one series at a
// time, full band width. The others run the lane kernels of lane_kernel.hpp
// with the vector width of their instruction set and fall back to the
// reference lane by lane. Every choice gives the same bits.
//
// The module's entry points make the choice, once per process, and pass it
// to the core as an argument, so that tests can compare every kernel in one
// process: the widest instruction set the processor supports, unless the
// environment variable TARNWOLD_KERNEL names another: "scalar", "sse2" (the
// 16-byte baseline vectors, also on other architectures), "avx2", "avx512",
// or "auto". A named set the processor lacks gives the widest one it has
// below it; any other text counts as "auto". Tests use it to compare every
// path with the reference; it changes no result.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/enumerators.hpp"

namespace tarnwold {

// In increasing width: a named set the processor lacks resolves to the
// widest one it has before it.
enum class Kernel : std::uint8_t { Scalar, Sse2, Avx2, Avx512 };

// The name TARNWOLD_KERNEL gives a kernel by; empty outside the
// enumeration. Its switch names every enumerator, which makes all_kernels
// complete.
constexpr std::string_view kernel_name(Kernel kernel) {
    switch (kernel) {
        case Kernel::Scalar:
            return "scalar";
        case Kernel::Sse2:
            return "sse2";
        case Kernel::Avx2:
            return "avx2";
        case Kernel::Avx512:
            return "avx512";
    }
    return {};
}

// Every kernel, in increasing width: the rows of the instruction-set table
// in kernel_choice.cpp, and the kernels the tests compare with the scalar
// one.
inline constexpr auto all_kernels = enumerators<Kernel, kernel_name>;

template <typename T>
struct LaneKernels;         // lane_kernel.hpp
struct SelectionKernelSet;  // lane_selection.hpp

// The kernel `requested` resolves to on a processor with the given support.
Kernel resolve_kernel(std::string_view requested, bool has_avx2, bool has_avx512);

// The kernel `requested` resolves to on this processor.
Kernel supported_kernel(std::string_view requested);

// The process-wide choice: supported_kernel of TARNWOLD_KERNEL (or "auto"),
// read at the first call.
Kernel active_kernel();

// The lane kernels of a vector kernel in precision T; nullptr for Scalar.
template <typename T>
const LaneKernels<T>* lane_kernels(Kernel kernel);

// The lane kernels of the choice of lam of a vector kernel; nullptr for
// Scalar.
const SelectionKernelSet* selection_kernels(Kernel kernel);

// The one-lane kernels in precision T, for a lone series.
template <typename T>
const LaneKernels<T>& lone_series_kernels();

}  // namespace tarnwold
