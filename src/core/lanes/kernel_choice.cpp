#include "lanes/kernel_choice.hpp"

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <type_traits>

#include "base/fault.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_selection.hpp"

namespace tarnwold {

namespace {

// What the processor offers beyond the baseline.
struct Processor {
    bool avx2;
    bool avx512;
};

// One kernel: what the processor must offer for it (nothing for the
// reference and the baseline) and its lane kernels (none for Scalar).
struct InstructionSet {
    Kernel kernel;
    bool Processor::*needs;
    const LaneKernelSet* lanes;
    const SelectionKernelSet* selection;
};

#if defined(__x86_64__)
constexpr InstructionSet instruction_sets[] = {
    {Kernel::Scalar, nullptr, nullptr, nullptr},
    {Kernel::Sse2, nullptr, &baseline_lane_kernels, &baseline_selection_kernels},
    {Kernel::Avx2, &Processor::avx2, &avx2_lane_kernels, &avx2_selection_kernels},
    {Kernel::Avx512, &Processor::avx512, &avx512_lane_kernels, &avx512_selection_kernels},
};
#else
// Elsewhere the processor offers neither, and the wider kernels, when a
// caller names them anyway, are the baseline's generic vectors.
constexpr InstructionSet instruction_sets[] = {
    {Kernel::Scalar, nullptr, nullptr, nullptr},
    {Kernel::Sse2, nullptr, &baseline_lane_kernels, &baseline_selection_kernels},
    {Kernel::Avx2, &Processor::avx2, &baseline_lane_kernels, &baseline_selection_kernels},
    {Kernel::Avx512, &Processor::avx512, &baseline_lane_kernels, &baseline_selection_kernels},
};
#endif

constexpr bool one_row_per_kernel() {
    if (std::size(instruction_sets) != all_kernels.size()) {
        return false;
    }
    for (std::size_t i = 0; i < all_kernels.size(); ++i) {
        if (instruction_sets[i].kernel != all_kernels[i]) {
            return false;
        }
    }
    return true;
}
static_assert(one_row_per_kernel(), "one instruction set per kernel, in the order of Kernel");

const InstructionSet& instruction_set(Kernel kernel) {
    for (const InstructionSet& set : instruction_sets) {
        if (set.kernel == kernel) {
            return set;
        }
    }
    throw InternalFault("unknown kernel");
}

}  // namespace

Kernel resolve_kernel(std::string_view requested, bool has_avx2, bool has_avx512) {
    const Processor processor{has_avx2, has_avx512};
    // A text that names no kernel asks for the widest.
    std::size_t widest = std::size(instruction_sets) - 1;
    for (std::size_t i = 0; i < std::size(instruction_sets); ++i) {
        if (kernel_name(instruction_sets[i].kernel) == requested) {
            widest = i;
        }
    }
    for (std::size_t i = widest + 1; i-- > 0;) {
        const InstructionSet& set = instruction_sets[i];
        if (set.needs == nullptr || processor.*set.needs) {
            return set.kernel;
        }
    }
    throw InternalFault("no kernel without processor support");
}

Kernel supported_kernel(std::string_view requested) {
#if defined(__x86_64__)
    // The AVX-512 kernels use the F, DQ and VL subsets; libgcc also checks
    // that the operating system saves the wider registers.
    __builtin_cpu_init();
    const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
    const bool has_avx512 = __builtin_cpu_supports("avx512f") != 0 &&
                            __builtin_cpu_supports("avx512dq") != 0 &&
                            __builtin_cpu_supports("avx512vl") != 0;
#else
    const bool has_avx2 = false;
    const bool has_avx512 = false;
#endif
    return resolve_kernel(requested, has_avx2, has_avx512);
}

Kernel active_kernel() {
    static const Kernel kernel = [] {
        const char* requested = std::getenv("TARNWOLD_KERNEL");
        return supported_kernel(requested != nullptr ? requested : "auto");
    }();
    return kernel;
}

namespace {

template <typename T>
const LaneKernels<T>& in_precision(const LaneKernelSet& set) {
    if constexpr (std::is_same_v<T, float>) {
        return set.f32;
    } else {
        return set.f64;
    }
}

}  // namespace

template <typename T>
const LaneKernels<T>* lane_kernels(Kernel kernel) {
    const LaneKernelSet* set = instruction_set(kernel).lanes;
    return set != nullptr ? &in_precision<T>(*set) : nullptr;
}

const SelectionKernelSet* selection_kernels(Kernel kernel) { return instruction_set(kernel).selection; }

template <typename T>
const LaneKernels<T>& lone_series_kernels() {
    return in_precision<T>(single_lane_kernels);
}

template const LaneKernels<float>* lane_kernels<float>(Kernel);
template const LaneKernels<double>* lane_kernels<double>(Kernel);
template const LaneKernels<float>& lone_series_kernels<float>();
template const LaneKernels<double>& lone_series_kernels<double>();

}  // namespace tarnwold
