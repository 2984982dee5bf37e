// Conversion between the controller's byte images and typed element lists.
// Pure functions: no driver state, safe on any thread.
//
// Decoders take an image and an element count and always return a QVariant
// holding a QList of exactly `count` elements (none for count <= 0); bytes
// past the end of the image read as 0. Every multi-byte number is least
// significant byte first.
//
// Encoders append the image of the first `count` elements of a record's value
// to `out` and return 0; a value that is not convertible to their list type
// appends nothing, and elements past the end of the list append nothing.
#ifndef VESKOR_CODEC_H
#define VESKOR_CODEC_H

#include <QByteArray>
#include <QVariant>

class CLabelVariable;

namespace veskor {
namespace codec {

QVariant decodeBool(const QByteArray &image, int count);      // one byte per element, non-zero is true
QVariant decodeBoolBits(const QByteArray &image, int count);  // one bit per element, LSB first
QVariant decodeInt8(const QByteArray &image, int count);
QVariant decodeUInt8(const QByteArray &image, int count);
QVariant decodeInt16(const QByteArray &image, int count);
QVariant decodeUInt16(const QByteArray &image, int count);
QVariant decodeInt32(const QByteArray &image, int count);
QVariant decodeUInt32(const QByteArray &image, int count);
QVariant decodeFloat(const QByteArray &image, int count);
QVariant decodeInt64(const QByteArray &image, int count);
QVariant decodeUInt64(const QByteArray &image, int count);
QVariant decodeDouble(const QByteArray &image, int count);
// Fields of one length byte L and L bytes of UTF-8 text (cut at a zero byte).
QVariant decodeString(const QByteArray &image, int count);

// A tag's value as a read makes it: count elements of type from image, which
// holds the tag's bytes in the controller (byteLength(type, count) of them).
// Invalid for a type the driver makes no value of.
QVariant decodeTag(int type, const QByteArray &image, int count);

int encodeBool(const CLabelVariable &v, int count, QByteArray *out);   // 01 / 00 per element
int encodeInt8(const CLabelVariable &v, int count, QByteArray *out);
int encodeUInt8(const CLabelVariable &v, int count, QByteArray *out);
int encodeInt16(const CLabelVariable &v, int count, QByteArray *out);
int encodeUInt16(const CLabelVariable &v, int count, QByteArray *out);
int encodeInt32(const CLabelVariable &v, int count, QByteArray *out);
int encodeUInt32(const CLabelVariable &v, int count, QByteArray *out);
int encodeFloat(const CLabelVariable &v, int count, QByteArray *out);
int encodeInt64(const CLabelVariable &v, int count, QByteArray *out);
int encodeUInt64(const CLabelVariable &v, int count, QByteArray *out);
int encodeDouble(const CLabelVariable &v, int count, QByteArray *out);
// Each string as one length byte (its UTF-8 byte count mod 256) and its UTF-8 bytes.
int encodeString(const CLabelVariable &v, int count, QByteArray *out);

// What a write of `count` elements of `type` sends into a tag of `length`
// bytes (byteLength(type, count)): the image of v's value, or the result code
// that refuses the value. A value not convertible to the type's list, and a
// type the driver makes no value of, is RcType; fewer than `count` elements
// is RcLength. Bools of a write of more than one go one bit each. A string
// tag is one `length`-byte field (length byte, UTF-8 text, zeros) holding v's
// first string; text that does not fit, or of more than 255 bytes, is
// RcLength, never cut.
struct TagImage {
    int resultCode;     // RcDone when image holds the bytes to send
    QByteArray image;
};
TagImage encodeTag(int type, const CLabelVariable &v, int count, int length);

// One byte per bool (as encodeBool makes them) to one bit per bool, element i
// in bit (i mod 8) of byte (i div 8); unused high bits of the last byte are 0.
QByteArray packBits(const QByteArray &bytePerElement, int count);

} // namespace codec
} // namespace veskor

#endif
