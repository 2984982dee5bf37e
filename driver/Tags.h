// Tag names: "ID<n>x" area names followed by a decimal address, and the byte
// length of n elements of a data type. Pure functions of their arguments.
#ifndef VESKOR_TAGS_H
#define VESKOR_TAGS_H

#include <QString>
#include <QtGlobal>

#include "host/DataType.h"

namespace veskor {

struct AreaEntry {
    const char *name;
    quint32 code;
};

// The 23 areas in search order.
const AreaEntry *areaTable(int *count);

// Area code of the first table entry whose name the tag contains (letter case
// ignored), or 0 when it contains none.
int tagArea(const QString &tag);

// The host's view of a tag's address (getAddr): the decimal number between
// the tag's first and second lower-case "x" (or the end); 0 when it is not a
// number or too large for 32 bits, -1 when it is 2^31 or more, and -1 when
// the tag has no lower-case "x" at all. Requests use parseTag().
int tagAddress(const QString &tag);

// A tag name as a request uses it, parsed once.
struct TagRef {
    int area = 0;        // tagArea()
    // The address when the text after the first lower-case "x" (to the
    // second one or the end) is one or more ASCII digits 0-9 of a value
    // below 2^31; else -1: no request is made for the tag.
    int address = -1;
};
TagRef parseTag(const QString &tag);

// Host type codes past DT_STRING that the driver sizes but the host
// declarations leave unnamed (13, 14 and 22 are DT_HOST_13, DT_HOST_14 and
// DT_HOST_22 there).
enum HostTypeCode : int {
    HostType15 = 15,
    HostType16 = 16,
    HostType18 = 18
};

// Bytes one element of a type takes in the controller: 1, 2, 4 or 8; 0 for
// bools (one bit each, see byteLength()) and for types without a size.
int elementBytes(int type);

// Bytes that n elements of a type take in the controller, exactly; 0 for types
// without a size. Bools take one bit each.
qint64 byteLength(int type, qint64 n);

// The same cut to 32 bits, as the driver interface reports it.
int byteLength32(int type, int n);

} // namespace veskor

#endif
