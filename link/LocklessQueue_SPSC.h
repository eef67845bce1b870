// A bounded ring between exactly one producer thread and one consumer
// thread, without locks. The producer alone calls push and writes head; the
// consumer alone calls pop and writes tail. A full ring refuses the element
// instead of waiting, so the producer never blocks.
#ifndef CORVESTEL_LINK_LOCKLESSQUEUE_SPSC_H
#define CORVESTEL_LINK_LOCKLESSQUEUE_SPSC_H

#include <atomic>
#include <cstdint>
#include <vector>

namespace Quorvane {

template <typename T>
class LocklessQueue_SPSC {
public:
    // capacity slots (2..65535); at most capacity - 1 elements are held.
    explicit LocklessQueue_SPSC(uint16_t capacity) : slots(capacity < 2 ? 2 : capacity) {}

    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // Producer only. False when the ring is full; the element is not taken.
    bool push(const T& element)
    {
        const uint16_t current = head.load(std::memory_order_relaxed);
        const uint16_t next = advance(current);
        if (next == tail.load(std::memory_order_acquire))
            return false;
        slots[next] = element;
        // The slot is written before the consumer can see the new head.
        head.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when the ring is empty.
    bool pop(T& element)
    {
        const uint16_t current = tail.load(std::memory_order_relaxed);
        if (current == head.load(std::memory_order_acquire))
            return false;
        const uint16_t next = advance(current);
        // While tail names this slot the producer treats the ring as full
        // there, so the copy below cannot race with a write.
        tail.store(next, std::memory_order_release);
        element = slots[next];
        return true;
    }

    // Either side; exact only when the other side is idle.
    bool empty() const
    {
        return head.load(std::memory_order_acquire) == tail.load(std::memory_order_acquire);
    }

    uint16_t capacity() const { return static_cast<uint16_t>(slots.size()); }

private:
    uint16_t advance(uint16_t index) const
    {
        return static_cast<uint16_t>(index + 1u >= slots.size() ? 0u : index + 1u);
    }

    std::vector<T> slots;
    std::atomic<uint16_t> head{0}; // last slot written
    std::atomic<uint16_t> tail{0}; // last slot read
};

} // namespace Quorvane

#endif
