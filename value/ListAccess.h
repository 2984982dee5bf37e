// Reading a record's value as a list of one element type. Shared by the
// element accessors, the operators and the encoders so that all of them apply
// the same conversion rule.
#ifndef VESKOR_LISTACCESS_H
#define VESKOR_LISTACCESS_H

#include <QList>
#include <QMetaType>
#include <QVariant>

namespace veskor {

// The list held in v when it holds exactly QList<T>, without copying; null otherwise.
template <typename T>
inline const QList<T> *exactList(const QVariant &v)
{
    if (v.userType() != qMetaTypeId<QList<T>>())
        return nullptr;
    return static_cast<const QList<T> *>(v.constData());
}

// v as a QList<T>: the list itself when v holds that type, otherwise what
// QVariant::convert makes of it, and an empty list when that fails.
// *convertible tells whether QVariant::canConvert accepted the type at all.
template <typename T>
inline QList<T> listOf(const QVariant &v, bool *convertible = nullptr)
{
    const int id = qMetaTypeId<QList<T>>();
    if (const QList<T> *exact = exactList<T>(v)) {
        if (convertible)
            *convertible = true;
        return *exact;
    }
    const bool can = v.canConvert(id);
    if (convertible)
        *convertible = can;
    if (!can)
        return QList<T>();
    QVariant copy = v;
    if (!copy.convert(id))
        return QList<T>();
    return copy.value<QList<T>>();
}

} // namespace veskor

#endif
