// What a controller's cycle asks for, and how its tags' values are cut from
// the answers. A read request returns the controller's area image from byte
// 0, so a grouped cycle reads each area that has tags once, as far as the
// last byte any of its tags needs, and decodes every tag from that image.
#ifndef VESKOR_GATEWAY_READPLAN_H
#define VESKOR_GATEWAY_READPLAN_H

#include "Config.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QVector>

namespace veskorgw {

// One read request of a cycle.
struct ReadRequest {
    QString tag;           // the tag name handed to ReadVariable
    int type = 0;
    int count = 1;
    QVector<int> tags;     // indexes of the controller's tags it serves
    bool image = false;    // an area image (uint8 bytes) to cut the tags from
};

// Grouped: one request per used area, "<area name>0" as uint8 with as many
// elements as the highest byte any tag of the area needs; areas in the
// order their first tag is listed. Not grouped: one request per tag.
QVector<ReadRequest> planReads(const QVector<TagConfig> &tags, bool group);

// What a controller's cycle asks for, as its log and --check say it:
// "3 request(s) per cycle, grouped: ID4x 28 bytes, ID1x 9 bytes, ID2x 16 bytes"
// (tag by tag: the tags' names).
QString describePlan(const QVector<ReadRequest> &plan, bool group);

// A read's QList<unsigned char> as the bytes it holds.
QByteArray imageBytes(const QVariant &value);

// The tag's value from its area's image, decoded as the plug-in's read path
// decodes the same bytes for a read of that tag alone: the same codec for
// the type and the same element count. An image too short for the tag gives
// an invalid QVariant.
QVariant decodeFromImage(const TagConfig &tag, const QByteArray &image);

// The value as a payload carries it: a scalar for one element, an array
// for more, a string tag as its text; 64-bit integers past 2^53 as decimal
// strings. Null for an invalid value.
QJsonValue valueJson(const TagConfig &tag, const QVariant &value);

// Every element as a number, in order (bools 0 and 1), for deadbands and
// metrics. Empty for strings and invalid values.
QVector<double> numericValues(const TagConfig &tag, const QVariant &value);

// The most bytes a set payload of the tag can need: the longest text of
// one element of its type (veskortool::longestValueText) and 4 characters
// around it (quotes, comma, space), times its count, and kSetPayloadSlack
// for {"value": [...]} and spacing; for a string tag, its longest text with
// every byte written as a \u escape (6 characters). Larger payloads are
// refused before anything reads them.
constexpr int kSetPayloadSlack = 64;
qint64 maxSetPayloadBytes(const TagConfig &tag);

// The largest packet a controller's MQTT connection asks the broker to send
// it: the largest set payload of its writable tags and 64 KiB for topic and
// properties, but at least kMinSetPacketBytes, so that sets too large for
// their tag but not huge still reach the gateway and are answered.
// Anything larger the broker drops.
constexpr quint32 kMinSetPacketBytes = 1024 * 1024;
quint32 maxSetPacketBytes(const QVector<TagConfig> &tags);

// A set message's payload as the values a write of the tag takes: JSON (a
// value, an array, or {"value": ...}) or plain text, in UTF-8, at most
// maxSetPayloadBytes. Checked against the tag's type and count; false with
// the reason in *error.
bool valuesForWrite(const TagConfig &tag, const QByteArray &payload, QVariant *out, QString *error);

} // namespace veskorgw

#endif
