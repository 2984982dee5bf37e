// The last N values pushed, in a fixed array: a push when N are held evicts
// the oldest. Nothing is allocated; held values may be changed in place.
#ifndef VESKOR_RING_H
#define VESKOR_RING_H

#include <array>
#include <cstddef>

namespace veskor {

template <typename T, int N>
class Ring
{
    static_assert(N > 0, "a ring holds at least one value");

public:
    static constexpr int kCapacity = N;

    int size() const { return m_held; }
    bool isFull() const { return m_held == N; }
    void clear()
    {
        m_held = 0;
        m_next = 0;
    }

    // The value the next push evicts: the oldest held, once the ring is full.
    const T &oldest() const { return at(0); }

    void push(const T &value)
    {
        m_slots[std::size_t(m_next)] = value;
        m_next = (m_next + 1) % N;
        if (m_held < N)
            ++m_held;
    }

    // The i-th held value, 0 the oldest; newest(i), 0 the newest.
    T &at(int i) { return m_slots[std::size_t(slotOf(i))]; }
    const T &at(int i) const { return m_slots[std::size_t(slotOf(i))]; }
    T &newest(int i) { return at(m_held - 1 - i); }
    const T &newest(int i) const { return at(m_held - 1 - i); }

    // Range-for runs over the held values, oldest first.
    template <typename Ring_, typename Value>
    class Iter
    {
    public:
        Iter(Ring_ *ring, int i) : m_ring(ring), m_i(i) {}
        Value &operator*() const { return m_ring->at(m_i); }
        Iter &operator++()
        {
            ++m_i;
            return *this;
        }
        bool operator!=(const Iter &other) const { return m_i != other.m_i; }

    private:
        Ring_ *m_ring;
        int m_i;
    };
    using iterator = Iter<Ring, T>;
    using const_iterator = Iter<const Ring, const T>;
    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, m_held); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_held); }

private:
    // The oldest value is at m_next once the ring is full, at 0 before.
    int slotOf(int i) const { return m_held < N ? i : (m_next + i) % N; }

    std::array<T, N> m_slots{};
    int m_held = 0;
    int m_next = 0;   // where the next push goes
};

} // namespace veskor

#endif
