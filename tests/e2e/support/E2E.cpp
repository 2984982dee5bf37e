#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QStringList>

#include <cstring>

namespace e2e {

namespace {

template <typename T>
bool sameElements(const QVariant &a, const QVariant &b)
{
    const QList<T> x = a.value<QList<T>>();
    const QList<T> y = b.value<QList<T>>();
    if (x.size() != y.size())
        return false;
    for (int i = 0; i < x.size(); ++i) {
        if (std::memcmp(&x.at(i), &y.at(i), sizeof(T)) != 0)
            return false;
    }
    return true;
}

} // namespace

bool sameList(const QVariant &got, const QVariant &want)
{
    const int t = want.userType();
    if (got.userType() != t)
        return false;
    if (t == qMetaTypeId<QList<bool>>()) return sameElements<bool>(got, want);
    if (t == qMetaTypeId<QList<char>>()) return sameElements<char>(got, want);
    if (t == qMetaTypeId<QList<unsigned char>>()) return sameElements<unsigned char>(got, want);
    if (t == qMetaTypeId<QList<short>>()) return sameElements<short>(got, want);
    if (t == qMetaTypeId<QList<unsigned short>>()) return sameElements<unsigned short>(got, want);
    if (t == qMetaTypeId<QList<int>>()) return sameElements<int>(got, want);
    if (t == qMetaTypeId<QList<unsigned int>>()) return sameElements<unsigned int>(got, want);
    if (t == qMetaTypeId<QList<float>>()) return sameElements<float>(got, want);
    if (t == qMetaTypeId<QList<long long>>()) return sameElements<long long>(got, want);
    if (t == qMetaTypeId<QList<unsigned long long>>()) return sameElements<unsigned long long>(got, want);
    if (t == qMetaTypeId<QList<double>>()) return sameElements<double>(got, want);
    if (t == qMetaTypeId<QList<QString>>()) return got.value<QList<QString>>() == want.value<QList<QString>>();
    return false;
}

QString listText(const QVariant &v)
{
    QStringList parts;
    for (const QVariant &e : v.value<QVariantList>()) {
        if (e.userType() == QMetaType::Float)
            parts.append(QString::number(double(e.toFloat()), 'g', 9));
        else if (e.userType() == QMetaType::Double)
            parts.append(QString::number(e.toDouble(), 'g', 17));
        else if (e.userType() == QMetaType::Char || e.userType() == QMetaType::UChar)
            parts.append(QString::number(e.toInt()));
        else
            parts.append(e.toString());
    }
    return QStringLiteral("%1[%2]").arg(QLatin1String(v.typeName())).arg(parts.join(QLatin1Char(',')));
}

int datagramsBeforeMarker(CDriveBaseClass *drv, ScriptedPeer &peer)
{
    peer.answer(readReply(QByteArray(1, '\x5a')));
    const CLabelVariable r = drv->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8, 1);
    if (r.resultCode != veskor::RcDone || listIn<unsigned char>(r) != QList<unsigned char>{0x5a})
        return -1;
    const QList<ScriptedPeer::Datagram> got = peer.received();
    if (got.isEmpty() || got.last().bytes.size() != 16 || !got.last().bytes.startsWith("MR"))
        return -1;
    return got.size() - 1;
}

} // namespace e2e
