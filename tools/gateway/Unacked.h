// Messages one MQTT connection published with QoS 1 or 2 that the broker has
// not acknowledged yet. libmosquitto keeps each of them in memory until it
// is, across reconnects too, so a stalled broker would make that store grow
// without end: above a limit, values are held back (state and set results
// are not), and once the count is down to half the limit the caller sends
// every latest value again, as after a reconnect.
// Thread-safe: the library reports completions on its network thread.
#ifndef VESKOR_GATEWAY_UNACKED_H
#define VESKOR_GATEWAY_UNACKED_H

#include <deque>
#include <mutex>
#include <unordered_set>

namespace veskorgw {

class UnackedCount
{
public:
    explicit UnackedCount(int limit) : m_limit(limit) {}

    // Whether a value may be published now: false at or above the limit,
    // and the count is then held until it has come down.
    bool admit();
    // A QoS 1 or 2 message the library took, by its message id.
    void sent(int mid);
    // The library is done with a message (any QoS). True once per hold, when
    // this completion brings the count down to half the limit: the values
    // held back are to be sent again.
    bool completed(int mid);

    int count() const;
    bool held() const;
    int limit() const { return m_limit; }

private:
    // Completions of ids not (yet) recorded: QoS 0 messages, or an
    // acknowledgement that overtook the publishing thread's sent(). Only
    // the latest few are kept; ids are handed out in turn, so an overtaken
    // one is always among them.
    static constexpr size_t kEarlyKept = 64;

    const int m_limit;
    mutable std::mutex m_mutex;
    std::unordered_set<int> m_pending;
    std::deque<int> m_early;
    bool m_held = false;
};

// Messages one MQTT connection published with QoS 0 that the library has
// taken and not yet written to the connection: it keeps them without a
// bound, so a gateway that reads faster than its connection sends would
// fill its memory with values already out of date. Held back above the
// limit like unacknowledged ones, until down to half. The library tells of
// each as it writes it, in the order they were published.
class UnsentCount
{
public:
    explicit UnsentCount(int limit) : m_limit(limit) {}

    bool admit();
    // Held around the library's publish call and sent(): the write, and its
    // report, cannot come before the message is recorded.
    std::unique_lock<std::mutex> publishing() { return std::unique_lock<std::mutex>(m_mutex); }
    void sent(int mid, const std::unique_lock<std::mutex> &publishing);
    enum class Completion { NotQos0, Written, CaughtUp };
    // The library is done with message mid: one of these (NotQos0: not
    // recorded here), CaughtUp once per hold when the count came down to half.
    Completion completed(int mid);
    // A new connection: the library dropped what it had not written.
    void reset();
    int count() const;

private:
    const int m_limit;
    mutable std::mutex m_mutex;
    std::deque<int> m_mids;   // in the order published
    bool m_held = false;
};

} // namespace veskorgw

#endif
