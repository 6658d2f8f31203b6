// Scratch buffers of the vector paths, kept by each thread from call to call.
//
// A block of lanes needs its interleaved factor and inputs: megabytes for
// long series. Fresh memory costs a trap per 4 KiB page at its first touch,
// which on a virtual machine can take longer than the arithmetic done in it,
// and small batches would pay it on every call. So each thread keeps the
// buffers its calls release and hands them out again, up to a bound; beyond
// it they go back to the system. The contents of a buffer are unspecified:
// every user writes before it reads.
#pragma once

#include <cstddef>
#include <utility>

namespace tarnwold {

namespace scratch_pool {
// At least `bytes` bytes, aligned to 64, from this thread's pool or new.
std::byte* take(std::size_t bytes, std::size_t& granted);
// Back to this thread's pool (or to the system when the pool is full).
void give(std::byte* block, std::size_t bytes) noexcept;
}  // namespace scratch_pool

template <typename T>
class Scratch {
public:
    Scratch() = default;
    explicit Scratch(std::size_t count) { resize(count); }
    Scratch(Scratch&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          bytes_(std::exchange(other.bytes_, 0)) {}
    Scratch& operator=(Scratch&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { release(); }

    // Room for count values; what the buffer held before is not kept.
    void resize(std::size_t count) {
        if (count * sizeof(T) > bytes_) {
            release();
            data_ = reinterpret_cast<T*>(scratch_pool::take(count * sizeof(T), bytes_));
        }
        size_ = count;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    void release() noexcept {
        if (data_ != nullptr) {
            scratch_pool::give(reinterpret_cast<std::byte*>(data_), bytes_);
        }
        data_ = nullptr;
        size_ = 0;
        bytes_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace tarnwold
