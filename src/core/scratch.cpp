#include "scratch.hpp"

#include <memory>
#include <new>
#include <vector>

#include <pthread.h>

namespace tarnwold::scratch_pool {

namespace {

constexpr std::align_val_t alignment{64};
// What one thread keeps between calls: enough for the blocks of series of a
// few thousand values, little next to the (S, T) matrices of such calls.
constexpr std::size_t kept_bytes = std::size_t{32} << 20;

struct Block {
    std::byte* data;
    std::size_t bytes;
};

class Pool {
public:
    ~Pool() {
        for (const Block& block : free_) {
            ::operator delete(block.data, alignment);
        }
    }

    std::byte* take(std::size_t bytes, std::size_t& granted) {
        // The smallest kept block that is large enough.
        std::size_t best = free_.size();
        for (std::size_t i = 0; i < free_.size(); ++i) {
            if (free_[i].bytes >= bytes && (best == free_.size() || free_[i].bytes < free_[best].bytes)) {
                best = i;
            }
        }
        if (best < free_.size()) {
            const Block block = free_[best];
            free_[best] = free_.back();
            free_.pop_back();
            kept_ -= block.bytes;
            granted = block.bytes;
            return block.data;
        }
        granted = bytes;
        return static_cast<std::byte*>(::operator new(bytes == 0 ? 1 : bytes, alignment));
    }

    void give(std::byte* data, std::size_t bytes) noexcept {
        if (bytes > kept_bytes) {
            ::operator delete(data, alignment);
            return;
        }
        // Room is made by letting the smallest kept blocks go.
        while (kept_ + bytes > kept_bytes) {
            std::size_t smallest = 0;
            for (std::size_t i = 1; i < free_.size(); ++i) {
                smallest = free_[i].bytes < free_[smallest].bytes ? i : smallest;
            }
            ::operator delete(free_[smallest].data, alignment);
            kept_ -= free_[smallest].bytes;
            free_[smallest] = free_.back();
            free_.pop_back();
        }
        try {
            free_.push_back({data, bytes});
            kept_ += bytes;
        } catch (...) {
            ::operator delete(data, alignment);
        }
    }

private:
    std::vector<Block> free_;
    std::size_t kept_ = 0;
};

// Each thread's pool is reached through a trivially destructible
// thread-local pointer and freed by a thread-specific key's destructor when
// the thread ends: a thread_local object with a destructor would make the
// C++ runtime allocate a record per thread that the pool's workers, which
// never end, would keep for good.
pthread_key_t pool_key;
pthread_once_t pool_key_once = PTHREAD_ONCE_INIT;
thread_local Pool* this_thread_pool = nullptr;

void delete_pool(void* pool) { delete static_cast<Pool*>(pool); }

Pool& pool() {
    if (this_thread_pool == nullptr) {
        pthread_once(&pool_key_once, [] { pthread_key_create(&pool_key, delete_pool); });
        auto owned = std::make_unique<Pool>();
        if (pthread_setspecific(pool_key, owned.get()) != 0) {
            throw std::bad_alloc();
        }
        this_thread_pool = owned.release();
    }
    return *this_thread_pool;
}

}  // namespace

std::byte* take(std::size_t bytes, std::size_t& granted) { return pool().take(bytes, granted); }

void give(std::byte* block, std::size_t bytes) noexcept {
    // Buffers go back on the thread that took them, whose pool exists; one
    // that travelled to another thread simply goes back to the system.
    if (this_thread_pool == nullptr) {
        ::operator delete(block, alignment);
        return;
    }
    this_thread_pool->give(block, bytes);
}

}  // namespace tarnwold::scratch_pool
