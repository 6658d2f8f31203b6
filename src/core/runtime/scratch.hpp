// Scratch buffers of the vector paths, reused from call to call through one
// small process-wide cache.
//
// A block of lanes needs its interleaved factor and inputs: megabytes for
// long series. Fresh memory costs a trap per 4 KiB page at its first touch,
// which on a virtual machine can take longer than the arithmetic done in it,
// and small batches would pay it on every call. So released buffers go into
// a cache shared by all threads, bounded in total size, and are handed out
// again from there; beyond the bound they go back to the system at once.
// The contents of a buffer are unspecified: every user writes before it
// reads.
#pragma once

#include <cstddef>
#include <utility>

namespace tarnwold {

namespace scratch_cache {
// At least `bytes` bytes, aligned to 64, from the cache or new; `granted`
// receives the usable size, to be passed back to give().
std::byte* take(std::size_t bytes, std::size_t& granted);
// Back to the cache, or to the system when the cache has no room for it.
void give(std::byte* block, std::size_t bytes) noexcept;
// What the cache holds at the moment, in bytes.
std::size_t kept_bytes() noexcept;
}  // namespace scratch_cache

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
            data_ = reinterpret_cast<T*>(scratch_cache::take(count * sizeof(T), bytes_));
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
            scratch_cache::give(reinterpret_cast<std::byte*>(data_), bytes_);
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
