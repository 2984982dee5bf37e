// Writes that land on other tags: a write names no area, and the controller
// stores it at its address in every area, so a write to ID4x10 also changes
// ID3x10 and the coils at byte 10. Pure functions, the one rule of veskor
// write's warning and the gateway's.
#ifndef VESKOR_TOOLS_WRITEOVERLAP_H
#define VESKOR_TOOLS_WRITEOVERLAP_H

#include "common/TagFile.h"

#include <QPair>
#include <QString>
#include <QVector>

namespace veskortool {

// The bytes a tag takes at its address, whatever its area.
struct ByteSpan {
    int address = 0;
    int bytes = 0;
    bool written = false;   // a write may go to it
};

// Whether two spans share a byte.
inline bool bytesMeet(const ByteSpan &a, const ByteSpan &b)
{
    return a.address < b.address + b.bytes && b.address < a.address + a.bytes;
}

// The pairs (written span, other span) whose bytes meet, in the order of
// the spans: each written one with every other it meets.
QVector<QPair<int, int>> writeOverlaps(const QVector<ByteSpan> &spans);

// The span of a tag request (address and bytes of its tag, type and
// count); false when its tag names no area and address or its bytes are
// unknown.
bool spanOf(const TagRequest &t, ByteSpan *out);

// "NAME (TAG, bytes A..B)", or "TAG (bytes A..B)" without a name: how a
// warning names one side of a pair.
QString spanText(const QString &name, const QString &tag, const ByteSpan &s);

// One warning line when a write to one of `tags` lands on another of them
// (the same controller, another tag text): the first such pair and how
// many more there are. With `file`, the tags are that tag file's rows and
// the line starts with FILE:LINE of the written one. Empty when none meet.
QString writeOverlapWarning(const QVector<TagRequest> &tags, const QString &file);

} // namespace veskortool

#endif
