// event_queue.h - time-stamped events taken off in stamp order, equal stamps
// in the order they came.
//
// Events mostly come in time order (a block's inputs, MIDI passed along a
// connection, a module posting ahead of its clock): such an event goes to
// the back of a ring and leaves from its front, O(1) each way.  One stamped
// before the ring's last goes to a binary heap instead, O(log n) each way.
// The front is the earlier of the two fronts by (stamp, arrival), so the
// order is the same as one sorted list's.  Within reserve(), nothing
// allocates: the live engine calls it from the audio callback.
#ifndef SEHOST_EVENT_QUEUE_H
#define SEHOST_EVENT_QUEUE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sehost {

template <class T> class EventQueue
{
public:
    // Room for n events wherever they arrive.
    void reserve(size_t n)
    {
        if (n > m_ring.size())
            grow(n);
        m_heap.reserve(n);
    }
    bool empty() const { return m_count == 0 && m_heap.empty(); }
    size_t size() const { return m_count + m_heap.size(); }

    void push(uint32_t stamp, const T &item)
    {
        Entry e{stamp, m_seq++, item};
        if (m_count > 0 && stamp < at(m_count - 1).stamp) {
            m_heap.push_back(std::move(e));
            std::push_heap(m_heap.begin(), m_heap.end(), later);
            return;
        }
        if (m_count == m_ring.size())
            grow(m_count + 1);
        at(m_count) = std::move(e);
        ++m_count;
    }

    // The earliest event and its stamp; the queue must not be empty.
    uint32_t front_stamp() const { return front_entry().stamp; }
    const T &front() const { return front_entry().item; }

    void pop()
    {
        if (from_ring()) {
            m_head = (m_head + 1) & (m_ring.size() - 1);
            --m_count;
        } else {
            std::pop_heap(m_heap.begin(), m_heap.end(), later);
            m_heap.pop_back();
        }
    }

private:
    struct Entry {
        uint32_t stamp = 0;
        uint64_t seq = 0; // arrival: orders equal stamps
        T item{};
    };
    // The heap's comparison: the top is the entry no other is earlier than.
    static bool later(const Entry &a, const Entry &b)
    {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.seq > b.seq;
    }
    Entry &at(size_t k) { return m_ring[(m_head + k) & (m_ring.size() - 1)]; }
    const Entry &at(size_t k) const { return m_ring[(m_head + k) & (m_ring.size() - 1)]; }
    bool from_ring() const { return m_count > 0 && (m_heap.empty() || later(m_heap[0], at(0))); }
    const Entry &front_entry() const { return from_ring() ? at(0) : m_heap[0]; }

    // A ring of the next power of two at or above n, the events in order
    // from its start.
    void grow(size_t n)
    {
        size_t size = 16;
        while (size < n)
            size *= 2;
        std::vector<Entry> ring(size);
        for (size_t k = 0; k < m_count; ++k)
            ring[k] = std::move(at(k));
        m_ring.swap(ring);
        m_head = 0;
    }

    std::vector<Entry> m_ring; // size 0 or a power of two
    size_t m_head = 0, m_count = 0;
    std::vector<Entry> m_heap; // out-of-order arrivals, earliest on top
    uint64_t m_seq = 0;
};

} // namespace sehost

#endif
