// The value record's arithmetic, equality and element accessors on arbitrary
// records: any data type code, any element count, any kind of value (the
// twelve list types, none, something that is not a list), elements with
// every bit pattern (NaN, infinities, zero divisors). UBSan stops on the
// first undefined operation.
//
// Input layout, for the left and then the right record:
//   dataType (byte mod 51, minus 5: -5 to 45)
//   elementCount (byte mod 20, minus 2: -2 to 17)
//   value kind (byte mod 16: 0-11 list types, 12 none, 13 QString, 14 int,
//   15 QVariantList)
//   list length (byte mod 18)
//   resultCode (signed byte), label (byte mod 3), auxText (byte mod 2)
//   the element bytes: list length x element width (64 for strings)
// then one signed byte: the index handed to every accessor.
#include "CLabelVariable.h"
#include "Codec.h"
#include "FuzzInput.h"
#include "ListAccess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <cmath>
#include <cstdint>

using namespace veskor;

namespace {

const int kWidth[12] = {1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 8, 64};

QVariant makeValue(int kind, int n, const QByteArray &bytes)
{
    using namespace codec;
    switch (kind) {
    case 0: return decodeBool(bytes, n);
    case 1: return decodeInt8(bytes, n);
    case 2: return decodeUInt8(bytes, n);
    case 3: return decodeInt16(bytes, n);
    case 4: return decodeUInt16(bytes, n);
    case 5: return decodeInt32(bytes, n);
    case 6: return decodeUInt32(bytes, n);
    case 7: return decodeFloat(bytes, n);
    case 8: return decodeInt64(bytes, n);
    case 9: return decodeUInt64(bytes, n);
    case 10: return decodeDouble(bytes, n);
    case 11: return decodeString(bytes, n);
    case 12: return QVariant();
    case 13: return QVariant(QString::fromUtf8(bytes));
    case 14: return QVariant(n);
    default: {
        QVariantList list;
        for (int i = 0; i < n; ++i)
            list << QVariant(i < bytes.size() ? int(bytes.at(i)) : 0);
        return list;
    }
    }
}

CLabelVariable makeRecord(fuzz::Input &in)
{
    CLabelVariable r;
    r.dataType = DataType(int(in.byte() % 51) - 5);
    r.elementCount = int(in.byte() % 20) - 2;
    const int kind = in.byte() % 16;
    const int n = in.byte() % 18;
    r.resultCode = in.take<int8_t>();
    r.labelName = QString(QChar('a' + in.byte() % 3));
    r.auxText = (in.byte() & 1) ? QStringLiteral("aux") : QString();
    const int width = kind < 12 ? kWidth[kind] : 1;
    r.value = makeValue(kind, n, in.bytes(size_t(n * width)));
    return r;
}

// Which of the twelve list types the value holds exactly, or -1.
int listKind(const QVariant &v)
{
    if (exactList<bool>(v)) return 0;
    if (exactList<char>(v)) return 1;
    if (exactList<unsigned char>(v)) return 2;
    if (exactList<short>(v)) return 3;
    if (exactList<unsigned short>(v)) return 4;
    if (exactList<int>(v)) return 5;
    if (exactList<unsigned int>(v)) return 6;
    if (exactList<float>(v)) return 7;
    if (exactList<long long>(v)) return 8;
    if (exactList<unsigned long long>(v)) return 9;
    if (exactList<double>(v)) return 10;
    if (exactList<QString>(v)) return 11;
    return -1;
}

int listSize(const QVariant &v)
{
    switch (listKind(v)) {
    case 0: return exactList<bool>(v)->size();
    case 1: return exactList<char>(v)->size();
    case 2: return exactList<unsigned char>(v)->size();
    case 3: return exactList<short>(v)->size();
    case 4: return exactList<unsigned short>(v)->size();
    case 5: return exactList<int>(v)->size();
    case 6: return exactList<unsigned int>(v)->size();
    case 7: return exactList<float>(v)->size();
    case 8: return exactList<long long>(v)->size();
    case 9: return exactList<unsigned long long>(v)->size();
    case 10: return exactList<double>(v)->size();
    case 11: return exactList<QString>(v)->size();
    default: return -1;
    }
}

// The element list a data type code works on (host codes share the list of
// their base type), or -1 for codes that have no arithmetic.
int kindOfType(int type)
{
    if (type >= 1 && type <= 12)
        return type - 1;
    if (type == 13 || type == 14) return 3;
    if (type == 15 || type == 16) return 4;
    if (type >= 17 && type <= 20) return 5;
    if (type >= 21 && type <= 24) return 6;
    if (type >= 33 && type <= 36) return 7;
    if (type >= 37 && type <= 40) return 10;
    return -1;
}

bool hasNaN(const QVariant &v)
{
    if (const QList<float> *f = exactList<float>(v)) {
        for (float x : *f)
            if (std::isnan(x)) return true;
    }
    if (const QList<double> *d = exactList<double>(v)) {
        for (double x : *d)
            if (std::isnan(x)) return true;
    }
    return false;
}

bool isDefault(const CLabelVariable &r)
{
    return r.resultCode == 1 && r.accessStatus == 1 && !r.value.isValid() && !r.timeStamp.isValid()
        && r.labelName.isNull() && r.elementCount == 0 && int(r.dataType) == 0 && r.auxInt == 0
        && r.auxText.isNull();
}

void checkArithmetic(CLabelVariable left, const CLabelVariable &right, int op)
{
    const int kind = kindOfType(int(left.dataType));
    CLabelVariable r;
    switch (op) {
    case 0: r = left + right; break;
    case 1: r = left - right; break;
    case 2: r = left * right; break;
    default: r = left / right; break;
    }
    // CLabelVariable::operator= leaves accessStatus and auxInt alone: check
    // a copy-constructed result too.
    const CLabelVariable c(op == 0 ? left + right : op == 1 ? left - right
                           : op == 2 ? left * right : left / right);

    const bool supported = kind >= 0 && (kind != 11 || op == 0);
    if (!supported) {
        FUZZ_CHECK(isDefault(c));
        return;
    }
    FUZZ_CHECK(c.resultCode == right.resultCode && c.labelName == right.labelName
               && c.elementCount == right.elementCount && c.dataType == right.dataType
               && c.auxText == right.auxText);
    FUZZ_CHECK(listKind(c.value) == kind);
    const int size = listSize(c.value);
    FUZZ_CHECK(size == 0 || size == left.elementCount);
    // Both operands hold n elements of the left type: n come out.
    if (left.elementCount > 0 && listKind(left.value) == kind && listKind(right.value) == kind
        && listSize(left.value) == left.elementCount && listSize(right.value) == left.elementCount)
        FUZZ_CHECK(size == left.elementCount);
    FUZZ_CHECK(listKind(r.value) == kind && listSize(r.value) == size);
}

void checkEquality(CLabelVariable left, CLabelVariable right)
{
    const bool header = left.resultCode == right.resultCode && left.labelName == right.labelName
        && left.elementCount == right.elementCount && left.dataType == right.dataType
        && left.auxText == right.auxText;
    const bool eq = left == right;
    if (!header)
        FUZZ_CHECK(!eq);

    // A record equals its copy when it holds exactly the list its type names,
    // as many elements as it says, and no NaN.
    CLabelVariable copy(left);
    const int kind = kindOfType(int(left.dataType));
    const bool selfEqual = kind < 0
        || (listKind(left.value) == kind && listSize(left.value) == left.elementCount
            && !hasNaN(left.value));
    if (selfEqual)
        FUZZ_CHECK(left == copy);
}

template <typename T, typename Acc>
void checkAccessor(CLabelVariable r, Acc acc, int index)
{
    (r.*acc)(index);
    FUZZ_CHECK(r.accessStatus == 0 || r.accessStatus == 10 || r.accessStatus == 11);
    if (const QList<T> *list = exactList<T>(r.value))
        FUZZ_CHECK((r.accessStatus == 0) == (index >= 0 && index < list->size()));
}

void checkAccessors(const CLabelVariable &r, int index)
{
    using L = CLabelVariable;
    checkAccessor<QString>(r, &L::atQString, index);
    checkAccessor<bool>(r, &L::atbool, index);
    checkAccessor<char>(r, &L::atchar, index);
    checkAccessor<char>(r, &L::atInt8, index);
    checkAccessor<unsigned char>(r, &L::atUInt8, index);
    checkAccessor<short>(r, &L::atInt16, index);
    checkAccessor<unsigned short>(r, &L::atUInt16, index);
    checkAccessor<int>(r, &L::atInt32, index);
    checkAccessor<unsigned int>(r, &L::atUInt32, index);
    checkAccessor<float>(r, &L::atFloat, index);
    checkAccessor<long long>(r, &L::atInt64, index);
    checkAccessor<unsigned long long>(r, &L::atUInt64, index);
    checkAccessor<double>(r, &L::atDouble, index);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const CLabelVariable left = makeRecord(in);
    const CLabelVariable right = makeRecord(in);
    const int index = in.take<int8_t>();

    for (int op = 0; op < 4; ++op) {
        checkArithmetic(left, right, op);
        checkArithmetic(right, left, op);
    }
    checkEquality(left, right);
    checkEquality(right, left);
    checkAccessors(left, index);
    checkAccessors(right, index);
    return 0;
}
