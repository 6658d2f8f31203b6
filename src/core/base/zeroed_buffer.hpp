// A zero-filled array of T for the (S, T) matrices of a call.
//
// Such a matrix spans tens of megabytes, and a std::vector would first write
// zeros over all of it, touching every 4 KiB page once: on a virtual machine
// each first touch is an expensive trap. Large buffers are therefore mapped
// fresh (zero pages by definition, nothing to write) and, on Linux, marked
// for transparent huge pages, which cuts the traps by a factor of 512.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "base/fault.hpp"

namespace tarnwold {

template <typename T>
class ZeroedBuffer {
public:
    ZeroedBuffer() = default;
    explicit ZeroedBuffer(std::size_t size) : size_(size) {
        if (size == 0) {
            return;
        }
        const std::size_t bytes = checked_product(size, sizeof(T));
        if (bytes < mapping_threshold) {
            data_ = static_cast<T*>(std::calloc(size, sizeof(T)));
            if (data_ == nullptr) {
                throw std::bad_alloc();
            }
            return;
        }
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
#if defined(MADV_HUGEPAGE)
        madvise(mapped, bytes, MADV_HUGEPAGE);  // only advice: failure changes nothing
#endif
        data_ = static_cast<T*>(mapped);
        mapped_ = true;
    }
    ZeroedBuffer(ZeroedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;
    ~ZeroedBuffer() { release(); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    // Below a few huge pages the allocator's zeroed memory is as good.
    static constexpr std::size_t mapping_threshold = std::size_t{4} << 20;

    void release() {
        if (data_ == nullptr) {
            return;
        }
        if (mapped_) {
            munmap(data_, size_ * sizeof(T));
        } else {
            std::free(data_);
        }
        data_ = nullptr;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace tarnwold
