#include "SetLimits.h"

#include <QTextCodec>

#include <algorithm>

namespace veskorgw {

bool RefusalLimits::Bucket::take(double perS, double burst, qint64 nowMs)
{
    if (tokens < 0)
        tokens = burst;
    else
        tokens = std::min(burst, tokens + double(std::max<qint64>(0, nowMs - lastMs)) * perS / 1000.0);
    lastMs = nowMs;
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

RefusalLimits::RefusalLimits(int keys, const Limits &limits) : m_limits(limits), m_keys(qMax(keys, 0)) {}

RefusalLimits::Decision RefusalLimits::refused(int key, qint64 nowMs)
{
    Decision d;
    if (key < 0 || key >= m_keys.size())
        return d;
    Key &k = m_keys[key];
    if (!k.logged || nowMs - k.lastLogMs >= m_limits.logIntervalMs) {
        d.log = true;
        d.unlogged = k.unlogged;
        k.unlogged = 0;
        k.logged = true;
        k.lastLogMs = nowMs;
    } else {
        ++k.unlogged;
    }
    // The key's own bucket first: one key's flood does not use up the
    // controller's answers for the others.
    d.answer = k.answers.take(m_limits.answersPerS, m_limits.answerBurst, nowMs)
               && m_all.take(m_limits.allAnswersPerS, m_limits.allAnswerBurst, nowMs);
    return d;
}

QVector<RefusalLimits::Unlogged> RefusalLimits::due(qint64 nowMs)
{
    QVector<Unlogged> out;
    for (int i = 0; i < m_keys.size(); ++i) {
        Key &k = m_keys[i];
        if (k.unlogged == 0 || nowMs - k.lastLogMs < m_limits.logIntervalMs)
            continue;
        out.append(Unlogged{i, k.unlogged});
        k.unlogged = 0;
        k.lastLogMs = nowMs;
    }
    return out;
}

bool responseTopicAllowed(const QByteArray &topic, const QByteArray &gatewayPrefix)
{
    if (topic.isEmpty() || topic.size() > kMaxResponseTopicBytes || topic.startsWith('$'))
        return false;
    if (topic.contains('+') || topic.contains('#') || topic.contains('\0'))
        return false;
    // The prefix itself and anything under it.
    if (topic.startsWith(gatewayPrefix) || topic == gatewayPrefix.chopped(1))
        return false;
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(topic.constData(), topic.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace veskorgw
