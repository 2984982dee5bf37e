#include "ProbeParts.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <algorithm>

namespace veskortool {

using namespace probeparts;

QVector<quint32> probeAreaCodes()
{
    QVector<quint32> codes;
    for (const veskor::AreaEntry &a : areasInOrder())
        codes << a.code;
    return codes;
}

QVector<quint32> probeScanIds(const ProbeSettings &s)
{
    if (!s.scanDevices.isEmpty())
        return s.scanDevices;
    QVector<quint32> ids(std::begin(kProbeScanDefault), std::end(kProbeScanDefault));
    if (!ids.contains(s.device)) {
        ids << s.device;
        std::sort(ids.begin(), ids.end());
    }
    return ids;
}
namespace {


// Requests of a run that gets answers: every area --repeat times, the round
// trips, the other device id, and a read and a write per write test.
int answeredRunRequests(const ProbeSettings &s)
{
    const int repeat = repeatOf(s);
    return int(areasInOrder().size()) * repeat + s.count + repeat + (s.writeTag.isEmpty() ? 0 : 2 * repeat);
}

// Requests of a run that gets none: the areas once, the scan, and the ids
// read again.
int scanRunRequests(const ProbeSettings &s)
{
    const int ids = probeScanIds(s).size();
    return int(areasInOrder().size()) + ids + std::min(ids, kProbeScanChecked) * repeatOf(s);
}

} // namespace

int probeMaxRequests(const ProbeSettings &s)
{
    return std::max(answeredRunRequests(s), scanRunRequests(s));
}

qint64 probeMaxMs(const ProbeSettings &s)
{
    // Every request takes in what came before it and listens on after an
    // answer, briefly both, and waits at most the wait; a last listen for
    // late answers takes at most one wait more. The scan's reads go out a
    // gap apart (each taking in what came), then one wait.
    const qint64 each = s.waitMs + 2 * kProbeSettleMs;
    const int ids = probeScanIds(s).size();
    const qint64 answered = qint64(answeredRunRequests(s)) * each + s.waitMs;
    const qint64 scan = qint64(areasInOrder().size() + std::min(ids, kProbeScanChecked) * repeatOf(s)) * each
        + qint64(ids) * (kProbeScanGapUs / 1000 + 1) + s.waitMs + kProbeSettleMs;
    return std::max(answered, scan);
}

QString deviceListText(const QVector<quint32> &ids)
{
    QStringList parts;
    for (int i = 0; i < ids.size(); ++i) {
        int j = i;
        while (j + 1 < ids.size() && ids[j] != 0xFFFFFFFFu && ids[j + 1] == ids[j] + 1)
            ++j;
        if (j - i >= 3) {
            parts << QStringLiteral("%1-%2").arg(ids[i]).arg(ids[j]);
        } else {
            for (int k = i; k <= j; ++k)
                parts << QString::number(ids[k]);
        }
        i = j;
    }
    return parts.join(QStringLiteral(", "));
}

QString timesText(int times, int of)
{
    if (of > 0 && times == of)
        return QStringLiteral("always");
    if (times == 0)
        return QStringLiteral("never");
    return QStringLiteral("%1 of %2").arg(times).arg(of);
}

int ProbeReport::Area::habitTimes() const
{
    switch (state) {
    case Image: return images;
    case Error: return errors;
    case Short: return shorts;
    case Silent: return silent;
    case NotAsked: break;
    }
    return 0;
}

void keepBytes(const char *bytes, int size, ProbeDatagram *d)
{
    d->bytes = QByteArray(bytes, std::min(size, kProbeKeepBytes));
    d->cut = size - d->bytes.size();
    d->digest = 0;
    if (d->cut > 0) {
        const QByteArray sha = QCryptographicHash::hash(QByteArray::fromRawData(bytes, size),
                                                        QCryptographicHash::Sha1);
        d->digest = qFromLittleEndian<quint64>(reinterpret_cast<const uchar *>(sha.constData()));
    }
}
} // namespace veskortool
