#pragma once
// 32-bit handles for objects that the original passed through 32-bit values.
//
// A handle is (generation << 16) | (slot + 1). The slot part is never 0 and
// never 0xFFFF, so a handle is never 0 and never all bits set. Every free of a
// slot advances its generation, so a handle kept after its object was removed
// stops matching once the slot is reused. Free slots are reused oldest first,
// which keeps a stale value unmatched for as long as possible; after 65536
// reuses of one slot the generation wraps.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

using Handle = uint32_t;

template <typename T> class HandleTable {
public:
    static constexpr uint32_t kMaxCapacity = 0xFFFE;

    explicit HandleTable(uint32_t capacity = kMaxCapacity)
        : capacity_(capacity < 1 ? 1 : (capacity > kMaxCapacity ? kMaxCapacity : capacity)) {}

    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // The new handle, or 0 when every slot is in use.
    Handle insert(T value) {
        std::lock_guard lock(mutex_);
        uint32_t index;
        if (!free_.empty()) {
            index = free_.front();
            free_.pop_front();
        } else if (slots_.size() < capacity_) {
            index = static_cast<uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            return 0;
        }
        Slot& slot = slots_[index];
        slot.value.emplace(std::move(value));
        ++used_;
        return makeHandle(index, slot.generation);
    }

    // A copy of the object; nothing for an unknown or stale handle.
    std::optional<T> get(Handle handle) const {
        std::lock_guard lock(mutex_);
        const Slot* slot = find(handle);
        if (slot == nullptr) {
            return std::nullopt;
        }
        return *slot->value;
    }

    bool contains(Handle handle) const {
        std::lock_guard lock(mutex_);
        return find(handle) != nullptr;
    }

    // Replaces the object of a live handle; false for an unknown or stale one.
    bool replace(Handle handle, T value) {
        std::unique_lock lock(mutex_);
        Slot* slot = find(handle);
        if (slot == nullptr) {
            return false;
        }
        [[maybe_unused]] T old = std::exchange(*slot->value, std::move(value));
        lock.unlock(); // the old object is destroyed outside the lock
        return true;
    }

    // Takes the object out; the handle is stale from now on.
    std::optional<T> remove(Handle handle) {
        std::lock_guard lock(mutex_);
        Slot* slot = find(handle);
        if (slot == nullptr) {
            return std::nullopt;
        }
        std::optional<T> out = std::move(slot->value);
        slot->value.reset();
        slot->generation = static_cast<uint16_t>(slot->generation + 1);
        free_.push_back(static_cast<uint32_t>(slot - slots_.data()));
        --used_;
        return out;
    }

    // Every live handle with a copy of its object, in slot order.
    std::vector<std::pair<Handle, T>> entries() const {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<Handle, T>> out;
        out.reserve(used_);
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].value) {
                out.emplace_back(makeHandle(static_cast<uint32_t>(i), slots_[i].generation),
                                 *slots_[i].value);
            }
        }
        return out;
    }

    // Removes every object and returns them, so that the caller destroys them
    // outside the table's lock.
    std::vector<T> clear() {
        std::lock_guard lock(mutex_);
        std::vector<T> out;
        out.reserve(used_);
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].value) {
                out.push_back(std::move(*slots_[i].value));
                slots_[i].value.reset();
                slots_[i].generation = static_cast<uint16_t>(slots_[i].generation + 1);
                free_.push_back(static_cast<uint32_t>(i));
            }
        }
        used_ = 0;
        return out;
    }

    size_t size() const {
        std::lock_guard lock(mutex_);
        return used_;
    }

    uint32_t capacity() const { return capacity_; }

private:
    struct Slot {
        uint16_t generation = 0;
        std::optional<T> value;
    };

    static Handle makeHandle(uint32_t index, uint16_t generation) {
        return (static_cast<uint32_t>(generation) << 16) | (index + 1);
    }

    const Slot* find(Handle handle) const {
        const uint32_t low = handle & 0xFFFF;
        if (low == 0 || low > slots_.size()) {
            return nullptr;
        }
        const Slot& slot = slots_[low - 1];
        if (!slot.value || slot.generation != (handle >> 16)) {
            return nullptr;
        }
        return &slot;
    }
    Slot* find(Handle handle) { return const_cast<Slot*>(std::as_const(*this).find(handle)); }

    const uint32_t capacity_;
    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::deque<uint32_t> free_;
    size_t used_ = 0;
};

} // namespace platform
