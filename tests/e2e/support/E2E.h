// Small helpers shared by the end-to-end tests.
#ifndef E2E_E2E_H
#define E2E_E2E_H

#include "CDriveBaseClass.h"
#include "MessageCapture.h"
#include "PluginHost.h"
#include "ScriptedPeer.h"

#include <QByteArray>
#include <QList>
#include <QVariant>

namespace e2e {

// A record's value as the list the host reads it as.
template <typename T>
QList<T> listIn(const CLabelVariable &r)
{
    return r.value.value<QList<T>>();
}

template <typename T>
bool holdsList(const CLabelVariable &r)
{
    return r.value.userType() == qMetaTypeId<QList<T>>();
}

template <typename T>
QVariant listVariant(const QList<T> &list)
{
    return QVariant::fromValue(list);
}

// A record carrying `list` as its value, as a host prepares it for a write.
template <typename T>
CLabelVariable recordOf(const QList<T> &list)
{
    CLabelVariable v;
    v.value = QVariant::fromValue(list);
    return v;
}

// `size` bytes 0x00, 0x01, ... (mod 256): an answer payload or a write image
// in which every byte tells its position.
inline QByteArray counting(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(i);
    return b;
}

// Whether two values hold the same kind of list with the same elements;
// floating-point elements must match bit for bit.
bool sameList(const QVariant &got, const QVariant &want);
// The elements of a list value, for failure messages.
QString listText(const QVariant &v);

// Sends one marker read (ID4x0, one byte) that the peer answers, and returns
// how many datagrams the peer received before it since its last clear; -1
// when the marker read itself failed. Loopback delivers in order, so a request
// sent by an earlier call is in the peer's list before the marker.
int datagramsBeforeMarker(CDriveBaseClass *drv, ScriptedPeer &peer);

} // namespace e2e

#endif
