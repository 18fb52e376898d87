// live_ring.h - a fixed-capacity ring between exactly one producer thread
// and one consumer thread. Neither side allocates, locks or waits: a push
// into a full ring and a pop from an empty one fail at once, so the audio
// thread may stand on either end.
#ifndef SEHOST_CLI_LIVE_RING_H
#define SEHOST_CLI_LIVE_RING_H

#include <atomic>
#include <cstddef>
#include <vector>

namespace secli {

template <class T> class SpscRing
{
public:
    // Room for at least `capacity` items (rounded up to a power of two).
    explicit SpscRing(size_t capacity)
    {
        size_t n = 1;
        while (n < capacity)
            n <<= 1;
        m_items.resize(n);
        m_mask = n - 1;
    }

    // Producer side.
    bool push(const T &item)
    {
        const size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tail.load(std::memory_order_acquire) > m_mask)
            return false;
        m_items[head & m_mask] = item;
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }
    // Producer side: all `n` items or none.
    bool push(const T *items, size_t n)
    {
        const size_t head = m_head.load(std::memory_order_relaxed);
        if (m_items.size() - (head - m_tail.load(std::memory_order_acquire)) < n)
            return false;
        for (size_t i = 0; i < n; ++i)
            m_items[(head + i) & m_mask] = items[i];
        m_head.store(head + n, std::memory_order_release);
        return true;
    }

    // Consumer side.
    bool pop(T &item)
    {
        const size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire))
            return false;
        item = m_items[tail & m_mask];
        m_tail.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Consumer side: up to `n` items; answers how many were taken.
    size_t pop(T *items, size_t n)
    {
        const size_t tail = m_tail.load(std::memory_order_relaxed);
        size_t have = m_head.load(std::memory_order_acquire) - tail;
        if (have > n)
            have = n;
        for (size_t i = 0; i < have; ++i)
            items[i] = m_items[(tail + i) & m_mask];
        m_tail.store(tail + have, std::memory_order_release);
        return have;
    }

    size_t capacity() const { return m_items.size(); }
    // Items waiting; exact on the consumer side, a lower bound elsewhere.
    size_t size() const
    {
        return m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_acquire);
    }

private:
    std::vector<T> m_items;
    size_t m_mask = 0;
    alignas(64) std::atomic<size_t> m_head{0}; // next slot to write
    alignas(64) std::atomic<size_t> m_tail{0}; // next slot to read
};

} // namespace secli

#endif
