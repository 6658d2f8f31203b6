#include "kernel_choice.hpp"

#include <cstdlib>

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

const LaneKernels* lane_kernels(Kernel kernel) {
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

}  // namespace tarnwold
