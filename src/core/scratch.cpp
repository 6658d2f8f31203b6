#include "scratch.hpp"

#include <new>
#include <vector>

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

thread_local Pool pool;

}  // namespace

std::byte* take(std::size_t bytes, std::size_t& granted) { return pool.take(bytes, granted); }

void give(std::byte* block, std::size_t bytes) noexcept { pool.give(block, bytes); }

}  // namespace tarnwold::scratch_pool
