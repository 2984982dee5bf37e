// Host runtime declarations shared with device drivers.
// The value record the host and a driver exchange for every tag. Its member
// list, order and widths are fixed: host and driver are built separately.
#ifndef HOST_CLABELVARIABLE_H
#define HOST_CLABELVARIABLE_H

#include <QDateTime>
#include <QString>
#include <QVariant>

#include "DataType.h"

// The record's out-of-line members live in the driver and are exported from it.
#if defined(_WIN32)
#  define CLABELVARIABLE_API
#else
#  define CLABELVARIABLE_API __attribute__((visibility("default")))
#endif

class CLabelVariable
{
public:
    CLabelVariable()
        : resultCode(1), accessStatus(1), value(), timeStamp(), labelName(),
          elementCount(0), dataType(DataType(0)), auxInt(0), auxText()
    {
    }

    CLabelVariable(const CLabelVariable &o)
        : resultCode(o.resultCode), accessStatus(o.accessStatus), value(o.value),
          timeStamp(o.timeStamp), labelName(o.labelName), elementCount(o.elementCount),
          dataType(o.dataType), auxInt(o.auxInt), auxText(o.auxText)
    {
    }

    // Assignment carries the transfer outcome and identity, but leaves the
    // target's accessStatus and auxInt alone.
    CLabelVariable &operator=(const CLabelVariable &o)
    {
        resultCode = o.resultCode;
        value = o.value;
        timeStamp = o.timeStamp;
        labelName = o.labelName;
        elementCount = o.elementCount;
        dataType = o.dataType;
        auxText = o.auxText;
        return *this;
    }

    ~CLabelVariable() = default;

    // Element accessors: they set accessStatus to 0 (element returned),
    // 10 (index out of range) or 11 (value is not a list of that type).
    CLABELVARIABLE_API QString atQString(int index);
    CLABELVARIABLE_API bool atbool(int index);
    CLABELVARIABLE_API unsigned char atchar(int index);   // same as atInt8: 0 to 255 on every processor
    CLABELVARIABLE_API unsigned char atInt8(int index);
    CLABELVARIABLE_API unsigned char atUInt8(int index);
    CLABELVARIABLE_API short atInt16(int index);
    CLABELVARIABLE_API unsigned short atUInt16(int index);
    CLABELVARIABLE_API int atInt32(int index);
    CLABELVARIABLE_API unsigned int atUInt32(int index);
    CLABELVARIABLE_API float atFloat(int index);
    CLABELVARIABLE_API long long atInt64(int index);
    CLABELVARIABLE_API unsigned long long atUInt64(int index);
    CLABELVARIABLE_API double atDouble(int index);

    // Element-wise arithmetic: the left operand's dataType picks the element
    // type, the right operand gives the header of the result.
    CLABELVARIABLE_API CLabelVariable operator+(const CLabelVariable &right);
    CLABELVARIABLE_API CLabelVariable operator-(const CLabelVariable &right);
    CLABELVARIABLE_API CLabelVariable operator*(const CLabelVariable &right);
    CLABELVARIABLE_API CLabelVariable operator/(const CLabelVariable &right);
    CLABELVARIABLE_API bool operator==(const CLabelVariable &right);

    qint32 resultCode;      // 0 done, 1 nothing done, else a failure code
    qint32 accessStatus;    // outcome of the last accessor call
    QVariant value;         // QList of the element type
    QDateTime timeStamp;
    QString labelName;
    qint32 elementCount;
    DataType dataType;
    qint32 auxInt;          // belongs to the host
    QString auxText;        // belongs to the host
};

#endif
