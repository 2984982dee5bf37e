#include "common/Scaling.h"

#include "common/Values.h"
#include "host/DataType.h"

#include <QLocale>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace veskortool {

namespace {

// min <= x < end: every bound a power of two or near one that a double
// holds exactly, so 2^63 is not taken for an int64.
struct Range {
    double min, end;
};

// The whole numbers a write of an integer type takes, as the value parser
// takes them (int8 as its wire byte: -128..255).
bool integerRange(int type, Range *r)
{
    switch (type) {
    case DT_INT8: *r = {-128, 256}; return true;
    case DT_UINT8: *r = {0, 256}; return true;
    case DT_INT16: *r = {-32768, 32768}; return true;
    case DT_UINT16: *r = {0, 65536}; return true;
    case DT_INT32: *r = {-2147483648.0, 2147483648.0}; return true;
    case DT_UINT32: *r = {0, 4294967296.0}; return true;
    case DT_INT64: *r = {-9223372036854775808.0, 9223372036854775808.0}; return true;
    case DT_UINT64: *r = {0, 18446744073709551616.0}; return true;
    default: return false;
    }
}

// The shortest text that reads back as exactly v.
QString shortest(double v)
{
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

} // namespace

bool checkScaling(int type, const Scaling &s, QString *error)
{
    Range r;
    if (!s.isIdentity() && !integerRange(type, &r) && type != DT_FLOAT && type != DT_DOUBLE) {
        *error = QStringLiteral("scale and offset need a numeric type");
        return false;
    }
    if (!std::isfinite(s.scale) || s.scale == 0) {
        *error = QStringLiteral("scale must be a finite number other than 0");
        return false;
    }
    if (!std::isfinite(s.offset)) {
        *error = QStringLiteral("offset must be a finite number");
        return false;
    }
    return true;
}

double scaledValue(double raw, const Scaling &s)
{
    return raw * s.scale + s.offset;
}

bool rawTextForValue(const QString &valueText, int type, const Scaling &s, QString *rawText, QString *error)
{
    bool ok = false;
    const double value = valueText.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        *error = QStringLiteral("%1 is no finite number").arg(valueText);
        return false;
    }
    const double raw = (value - s.offset) / s.scale;
    Range range;
    if (integerRange(type, &range)) {
        const double whole = std::nearbyint(raw);
        // Doubles carry about 16 digits: (12.3 - 0) / 0.1 is 123.00000000000001.
        if (std::fabs(raw - whole) > 1e-9 * std::max(1.0, std::fabs(whole))) {
            *error = QStringLiteral("%1 is no whole step of the scale %2 (raw value %3): the controller "
                                    "could not hold it").arg(valueText, shortest(s.scale), shortest(raw));
            return false;
        }
        if (whole < range.min || whole >= range.end) {
            *error = QStringLiteral("%1 is raw value %2, out of the range %3 of %4")
                         .arg(valueText, QString::number(whole, 'f', 0), rangeText(type), typeName(type));
            return false;
        }
        *rawText = QString::number(whole, 'f', 0);
        return true;
    }
    if (!std::isfinite(raw) || (type == DT_FLOAT && std::fabs(raw) > double(FLT_MAX))) {
        *error = QStringLiteral("%1 is raw value %2, out of the type's range").arg(valueText, shortest(raw));
        return false;
    }
    *rawText = shortest(raw);
    return true;
}

} // namespace veskortool
