#include "kernel_choice.hpp"

#include <cstdlib>
#include <type_traits>

#include "lane_kernel.hpp"

namespace tarnwold {

Kernel resolve_kernel(std::string_view requested, bool has_avx2, bool has_avx512) {
    if (requested == "scalar") {
        return Kernel::Scalar;
    }
    if (requested == "sse2") {
        return Kernel::Sse2;
    }
    const bool at_most_avx2 = requested == "avx2";
    if (has_avx512 && !at_most_avx2) {
        return Kernel::Avx512;
    }
    return has_avx2 ? Kernel::Avx2 : Kernel::Sse2;
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

const LaneKernelSet* lane_kernel_set(Kernel kernel) {
    switch (kernel) {
        case Kernel::Scalar:
            return nullptr;
        case Kernel::Sse2:
            return &baseline_lane_kernels;
#if defined(__x86_64__)
        case Kernel::Avx2:
            return &avx2_lane_kernels;
        case Kernel::Avx512:
            return &avx512_lane_kernels;
#else
        case Kernel::Avx2:
        case Kernel::Avx512:
            return &baseline_lane_kernels;
#endif
    }
    return nullptr;
}

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
    const LaneKernelSet* set = lane_kernel_set(kernel);
    return set != nullptr ? &in_precision<T>(*set) : nullptr;
}

template <typename T>
const LaneKernels<T>& lone_series_kernels() {
    return in_precision<T>(single_lane_kernels);
}

template const LaneKernels<float>* lane_kernels<float>(Kernel);
template const LaneKernels<double>* lane_kernels<double>(Kernel);
template const LaneKernels<float>& lone_series_kernels<float>();
template const LaneKernels<double>& lone_series_kernels<double>();

}  // namespace tarnwold
