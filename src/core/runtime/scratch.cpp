#include "runtime/scratch.hpp"

#include <array>
#include <mutex>
#include <new>
#include <type_traits>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tarnwold::scratch_cache {

namespace {

constexpr std::align_val_t alignment{64};
// Blocks from this size on are mapped from the system and unmapped when
// they leave: freed through malloc instead, they would raise glibc's dynamic
// mmap threshold, after which blocks of that size come from the heap and,
// once freed, stay resident in it.
constexpr std::size_t mapped_from = std::size_t{64} << 10;
// What the cache keeps for all threads together, in bytes and in blocks:
// enough for the scratch of a few threads' ranges of series of several
// thousand values, which is where reuse saves most of the time of a call.
constexpr std::size_t capacity_bytes = std::size_t{8} << 20;
constexpr std::size_t capacity_blocks = 64;

struct Block {
    std::byte* data = nullptr;
    std::size_t bytes = 0;
};

std::size_t page_rounded(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (bytes > static_cast<std::size_t>(-1) - page) {
        throw std::bad_alloc();
    }
    return (bytes + page - 1) / page * page;
}

std::byte* allocate(std::size_t bytes, std::size_t& granted) {
    if (bytes < mapped_from) {
        granted = bytes;
        return static_cast<std::byte*>(::operator new(bytes == 0 ? 1 : bytes, alignment));
    }
    granted = page_rounded(bytes);
    void* mapped = mmap(nullptr, granted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return static_cast<std::byte*>(mapped);
}

void deallocate(const Block& block) noexcept {
    if (block.bytes < mapped_from) {
        ::operator delete(block.data, alignment);
    } else {
        munmap(block.data, block.bytes);
    }
}

// The free blocks, under one mutex taken once per block handed out or back
// (a few times per range of series, never per series). Nothing is allocated
// or returned to the system while the mutex is held.
class BlockCache {
public:
    std::byte* take(std::size_t bytes, std::size_t& granted) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // The smallest kept block that is large enough.
            std::size_t best = count_;
            for (std::size_t i = 0; i < count_; ++i) {
                if (blocks_[i].bytes >= bytes && (best == count_ || blocks_[i].bytes < blocks_[best].bytes)) {
                    best = i;
                }
            }
            if (best < count_) {
                const Block block = blocks_[best];
                blocks_[best] = blocks_[--count_];
                kept_ -= block.bytes;
                granted = block.bytes;
                return block.data;
            }
        }
        return allocate(bytes, granted);
    }

    // Room is made by letting smaller kept blocks go, smallest first: a
    // block that cannot be kept even then goes back to the system itself.
    void give(Block block) noexcept {
        if (block.bytes > capacity_bytes) {
            deallocate(block);
            return;
        }
        std::array<Block, capacity_blocks> evicted;
        std::size_t evicted_count = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (count_ > 0 && (count_ == capacity_blocks || kept_ + block.bytes > capacity_bytes)) {
                std::size_t smallest = 0;
                for (std::size_t i = 1; i < count_; ++i) {
                    smallest = blocks_[i].bytes < blocks_[smallest].bytes ? i : smallest;
                }
                if (blocks_[smallest].bytes >= block.bytes) {
                    break;
                }
                evicted[evicted_count++] = blocks_[smallest];
                kept_ -= blocks_[smallest].bytes;
                blocks_[smallest] = blocks_[--count_];
            }
            if (count_ < capacity_blocks && kept_ + block.bytes <= capacity_bytes) {
                blocks_[count_++] = block;
                kept_ += block.bytes;
                block = Block{};
            }
        }
        for (std::size_t i = 0; i < evicted_count; ++i) {
            deallocate(evicted[i]);
        }
        if (block.data != nullptr) {
            deallocate(block);
        }
    }

    // Held by the thread that calls fork() from just before until just after
    // it, in the parent and in the child (see fork_handlers below).
    void hold() noexcept { mutex_.lock(); }
    void let_go() noexcept { mutex_.unlock(); }

    std::size_t kept() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return kept_;
    }

private:
    std::mutex mutex_;
    std::array<Block, capacity_blocks> blocks_{};
    std::size_t count_ = 0;
    std::size_t kept_ = 0;
};

// Constant-initialised and trivially destructible: usable from any thread at
// any time, and nothing runs at exit while a detached worker may still call.
constinit BlockCache cache;
static_assert(std::is_trivially_destructible_v<BlockCache>);

// fork(): the selection module computes without the interpreter lock, so a thread
// may be inside the cache when one thread forks, and a child would inherit
// its mutex held by a thread it does not have. The forking thread therefore
// takes the mutex first (nobody holds it for long or while waiting on
// anything else), and parent and child both release it afterwards: the
// child starts with the cache consistent and unlocked.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork([] { cache.hold(); }, [] { cache.let_go(); }, [] { cache.let_go(); });

}  // namespace

std::byte* take(std::size_t bytes, std::size_t& granted) { return cache.take(bytes, granted); }

void give(std::byte* block, std::size_t bytes) noexcept { cache.give(Block{block, bytes}); }

std::size_t kept_bytes() noexcept { return cache.kept(); }

}  // namespace tarnwold::scratch_cache
