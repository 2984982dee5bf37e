// Reading a fuzzer input as a sequence of little-endian fields from the
// front; fields past the end read as 0. The layout of every target is written
// at its top so seeds can be made by hand.
#ifndef VESKOR_FUZZINPUT_H
#define VESKOR_FUZZINPUT_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    template <typename T>
    T take()
    {
        unsigned char buf[sizeof(T)] = {};
        const size_t n = m_pos < m_size ? (m_size - m_pos < sizeof(T) ? m_size - m_pos : sizeof(T)) : 0;
        if (n)
            memcpy(buf, m_data + m_pos, n);
        m_pos += sizeof(T);
        T v;
        memcpy(&v, buf, sizeof(T));   // the host is little-endian (x86-64, armhf)
        return v;
    }

    uint8_t byte() { return take<uint8_t>(); }

    // Up to n bytes.
    QByteArray bytes(size_t n)
    {
        if (m_pos >= m_size)
            return QByteArray();
        const size_t k = m_size - m_pos < n ? m_size - m_pos : n;
        QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), int(k));
        m_pos += k;
        return out;
    }

    // Everything not read yet.
    QByteArray rest() { return bytes(m_size); }

    bool empty() const { return m_pos >= m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A broken invariant: say which and stop, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *file, int line, const char *what)
{
    fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

// The same with the values that broke it.
[[noreturn]] inline void fail(const char *file, int line, const char *what, const QString &detail)
{
    fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, what, qPrintable(detail));
    fflush(stderr);
    abort();
}

} // namespace fuzz

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond))                                                                       \
            ::fuzz::fail(__FILE__, __LINE__, #cond);                                       \
    } while (0)

#define FUZZ_CHECK_SAY(cond, detail)                                                       \
    do {                                                                                   \
        if (!(cond))                                                                       \
            ::fuzz::fail(__FILE__, __LINE__, #cond, (detail));                             \
    } while (0)

#endif
