// Engineering values of scaled integers: a controller keeps tenths of a
// degree or counts per metre, a plant reads degrees and metres. Pure
// functions, shared by the tag files of veskor and the gateway's tags.
#ifndef VESKOR_TOOLS_SCALING_H
#define VESKOR_TOOLS_SCALING_H

#include <QString>

namespace veskortool {

// value = raw x scale + offset, in `unit` (a label only; may be empty).
struct Scaling {
    double scale = 1;
    double offset = 0;
    QString unit;
    // Values go as the controller holds them: no double in between.
    bool isIdentity() const { return scale == 1 && offset == 0; }
};

// Whether a tag of `type` can be scaled (the numeric types) and the scaling
// is one (scale finite and not 0, offset finite); false with the reason.
bool checkScaling(int type, const Scaling &s, QString *error);

// The engineering value of a raw element.
double scaledValue(double raw, const Scaling &s);

// The raw element text a write of `valueText` (a decimal number) sends to
// a tag of `type`, for the veskor value parser: for the integer types the
// whole number (raw - offset) / scale gives, refused when it is not one
// (beyond the rounding of doubles: a controller that keeps tenths cannot
// store 12.34, and a rounded value written as asked would be a lie) or
// does not fit the type; for float and double the shortest exact text of
// the raw value, refused when it is not finite or beyond a float's range.
bool rawTextForValue(const QString &valueText, int type, const Scaling &s, QString *rawText, QString *error);

} // namespace veskortool

#endif
