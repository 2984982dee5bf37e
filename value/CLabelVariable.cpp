// Out-of-line members of the value record: element accessors, arithmetic and
// equality. Exported from the plug-in for the host.
#include "host/CLabelVariable.h"
#include "value/ListAccess.h"

#include <QList>
#include <cstdint>
#include <limits>

namespace {

enum AccessStatus { AccessOk = 0, AccessBadIndex = 10, AccessNoList = 11 };

template <typename X>
struct Same {
    using type = X;
};

// The failure value takes the result type R; it is never deduced from the
// argument, so a literal 0 cannot narrow a 64-bit result.
template <typename T, typename R = T>
R elementAt(CLabelVariable &r, int index, typename Same<R>::type failure)
{
    // Fast path: the record holds exactly this list type, read in place.
    const QList<T> *list = veskor::exactList<T>(r.value);
    QList<T> converted;
    if (!list) {
        bool convertible = false;
        converted = veskor::listOf<T>(r.value, &convertible);
        if (!convertible) {
            r.accessStatus = AccessNoList;
            return failure;
        }
        list = &converted;
    }
    if (index < 0 || index >= list->size()) {
        r.accessStatus = AccessBadIndex;
        return failure;
    }
    r.accessStatus = AccessOk;
    return R(list->at(index));
}

} // namespace

QString CLabelVariable::atQString(int index) { return elementAt<QString>(*this, index, QString()); }
bool CLabelVariable::atbool(int index) { return elementAt<bool>(*this, index, false); }
unsigned char CLabelVariable::atchar(int index)
{
    return elementAt<char, unsigned char>(*this, index, 0);
}
unsigned char CLabelVariable::atInt8(int index)
{
    return elementAt<char, unsigned char>(*this, index, 0);
}
unsigned char CLabelVariable::atUInt8(int index) { return elementAt<unsigned char>(*this, index, 0); }
short CLabelVariable::atInt16(int index) { return elementAt<short>(*this, index, 0); }
unsigned short CLabelVariable::atUInt16(int index) { return elementAt<unsigned short>(*this, index, 0); }
int CLabelVariable::atInt32(int index) { return elementAt<int>(*this, index, 0); }
unsigned int CLabelVariable::atUInt32(int index) { return elementAt<unsigned int>(*this, index, 0u); }
float CLabelVariable::atFloat(int index) { return elementAt<float>(*this, index, 0.0f); }
long long CLabelVariable::atInt64(int index) { return elementAt<long long>(*this, index, 0); }
unsigned long long CLabelVariable::atUInt64(int index)
{
    return elementAt<unsigned long long>(*this, index, 0ull);
}
double CLabelVariable::atDouble(int index) { return elementAt<double>(*this, index, 0.0); }

// ---------------------------------------------------------------------------
// Arithmetic and equality.

namespace {

enum class Op { Add, Sub, Mul, Div };

// Element groups chosen by the left operand's data type.
enum class Group { None, Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float, Int64, UInt64, Double, String };

// Host codes past DT_STRING, which the host declarations leave unnamed, are
// variants of a base type: each run of codes takes its base type's group.
// Codes 25 to 32 have none.
struct HostRun {
    int first;
    int last;
    Group group;
};
constexpr HostRun kHostRuns[] = {
    {13, 14, Group::Int16},  {15, 16, Group::UInt16}, {17, 20, Group::Int32},
    {21, 24, Group::UInt32}, {33, 36, Group::Float},  {37, 40, Group::Double},
};

Group groupOf(int type)
{
    switch (type) {
    case DT_BOOL: return Group::Bool;
    case DT_INT8: return Group::Int8;
    case DT_UINT8: return Group::UInt8;
    case DT_INT16: return Group::Int16;
    case DT_UINT16: return Group::UInt16;
    case DT_INT32: return Group::Int32;
    case DT_UINT32: return Group::UInt32;
    case DT_FLOAT: return Group::Float;
    case DT_INT64: return Group::Int64;
    case DT_UINT64: return Group::UInt64;
    case DT_DOUBLE: return Group::Double;
    case DT_STRING: return Group::String;
    default: break;
    }
    for (const HostRun &run : kHostRuns) {
        if (type >= run.first && type <= run.last)
            return run.group;
    }
    return Group::None;
}

// Unsigned arithmetic of width U; wraps by definition. Division by zero gives 0.
template <typename U>
U unsignedOp(Op op, U a, U b)
{
    switch (op) {
    case Op::Add: return U(a + b);
    case Op::Sub: return U(a - b);
    case Op::Mul: return U(a * b);
    case Op::Div: return b == 0 ? U(0) : U(a / b);
    }
    return 0;
}

// Signed arithmetic of width S, wrapping in two's complement: sums, differences
// and products are done on the unsigned type; the one quotient that does not
// fit (minimum / -1) wraps to the minimum, and division by zero gives 0.
template <typename S>
S signedOp(Op op, S a, S b)
{
    using U = std::make_unsigned_t<S>;
    if (op != Op::Div)
        return S(unsignedOp<U>(op, U(a), U(b)));
    if (b == 0)
        return 0;
    if (a == std::numeric_limits<S>::min() && b == -1)
        return a;
    return S(a / b);
}

template <typename F>
F floatOp(Op op, F a, F b)
{
    switch (op) {
    case Op::Add: return a + b;
    case Op::Sub: return a - b;
    case Op::Mul: return a * b;
    case Op::Div: return a / b;   // IEEE 754: infinities and NaN, nothing raised
    }
    return 0;
}

bool boolOp(Op op, bool a, bool b)
{
    switch (op) {
    case Op::Add: return a || b;
    case Op::Sub: return a != b;
    case Op::Mul: return a && b;
    case Op::Div: return b ? a : false;
    }
    return false;
}

QString stringOp(Op, const QString &a, const QString &b) { return a + b; }

// Element type E stored in the result, read through accessor Acc (which may
// widen it), combined by Fn.
template <typename E, typename Acc, typename Fn>
QVariant combineLists(CLabelVariable &left, CLabelVariable &right, Acc acc, Fn fn)
{
    const int n = left.elementCount;
    QList<E> out;
    if (n > 0 && veskor::listOf<E>(left.value).size() == n
        && veskor::listOf<E>(right.value).size() == n) {
        out.reserve(n);
        for (int i = 0; i < n; ++i) {
            const auto a = (left.*acc)(i);
            const auto b = (right.*acc)(i);
            out.append(fn(a, b));
        }
    }
    return QVariant::fromValue(out);
}

CLabelVariable arithmetic(CLabelVariable &left, const CLabelVariable &rightConst, Op op)
{
    // The accessors record their outcome in the operand they read, the right
    // one included.
    CLabelVariable &right = const_cast<CLabelVariable &>(rightConst);
    const Group group = groupOf(int(left.dataType));
    if (group == Group::None || (group == Group::String && op != Op::Add))
        return CLabelVariable();

    CLabelVariable result;
    result.resultCode = right.resultCode;
    result.labelName = right.labelName;
    result.elementCount = right.elementCount;
    result.dataType = right.dataType;
    result.auxText = right.auxText;
    result.timeStamp = QDateTime::currentDateTime();

    using L = CLabelVariable;
    switch (group) {
    case Group::Bool:
        result.value = combineLists<bool>(left, right, &L::atbool,
                                          [op](bool a, bool b) { return boolOp(op, a, b); });
        break;
    case Group::Int8:
        result.value = combineLists<char>(left, right, &L::atInt8, [op](quint8 a, quint8 b) {
            return char(unsignedOp<quint8>(op, a, b));
        });
        break;
    case Group::UInt8:
        result.value = combineLists<unsigned char>(left, right, &L::atUInt8, [op](quint8 a, quint8 b) {
            return unsignedOp<quint8>(op, a, b);
        });
        break;
    case Group::Int16:
        result.value = combineLists<short>(left, right, &L::atInt16, [op](qint16 a, qint16 b) {
            // Widened to 32 bits, then cut: -32768 / -1 gives -32768.
            return short(quint16(signedOp<qint32>(op, a, b)));
        });
        break;
    case Group::UInt16:
        result.value = combineLists<unsigned short>(left, right, &L::atUInt16, [op](quint16 a, quint16 b) {
            return quint16(unsignedOp<quint32>(op, a, b));
        });
        break;
    case Group::Int32:
        result.value = combineLists<int>(left, right, &L::atInt32,
                                         [op](qint32 a, qint32 b) { return signedOp<qint32>(op, a, b); });
        break;
    case Group::UInt32:
        result.value = combineLists<unsigned int>(left, right, &L::atUInt32, [op](quint32 a, quint32 b) {
            return unsignedOp<quint32>(op, a, b);
        });
        break;
    case Group::Float:
        result.value = combineLists<float>(left, right, &L::atFloat,
                                           [op](float a, float b) { return floatOp<float>(op, a, b); });
        break;
    case Group::Int64:
        result.value = combineLists<long long>(left, right, &L::atInt64, [op](qint64 a, qint64 b) {
            return (long long)signedOp<qint64>(op, a, b);
        });
        break;
    case Group::UInt64:
        result.value = combineLists<unsigned long long>(left, right, &L::atUInt64, [op](quint64 a, quint64 b) {
            return (unsigned long long)unsignedOp<quint64>(op, a, b);
        });
        break;
    case Group::Double:
        result.value = combineLists<double>(left, right, &L::atDouble,
                                            [op](double a, double b) { return floatOp<double>(op, a, b); });
        break;
    case Group::String:
        result.value = combineLists<QString>(left, right, &L::atQString,
                                             [op](const QString &a, const QString &b) { return stringOp(op, a, b); });
        break;
    case Group::None:
        break;
    }
    return result;
}

template <typename E, typename Acc>
bool equalLists(CLabelVariable &left, CLabelVariable &right, Acc acc, bool header)
{
    const int n = left.elementCount;
    if (veskor::listOf<E>(left.value).size() != n || veskor::listOf<E>(right.value).size() != n)
        return false;
    for (int i = 0; i < n; ++i) {
        const auto a = (left.*acc)(i);
        const auto b = (right.*acc)(i);
        if (!(header && a == b))   // exact: NaN != NaN, +0 == -0
            return false;
    }
    return header;
}

} // namespace

CLabelVariable CLabelVariable::operator+(const CLabelVariable &right) { return arithmetic(*this, right, Op::Add); }
CLabelVariable CLabelVariable::operator-(const CLabelVariable &right) { return arithmetic(*this, right, Op::Sub); }
CLabelVariable CLabelVariable::operator*(const CLabelVariable &right) { return arithmetic(*this, right, Op::Mul); }
CLabelVariable CLabelVariable::operator/(const CLabelVariable &right) { return arithmetic(*this, right, Op::Div); }

bool CLabelVariable::operator==(const CLabelVariable &rightConst)
{
    CLabelVariable &right = const_cast<CLabelVariable &>(rightConst);
    const bool header = resultCode == right.resultCode && labelName == right.labelName
        && elementCount == right.elementCount && dataType == right.dataType
        && auxText == right.auxText;

    using L = CLabelVariable;
    switch (groupOf(int(dataType))) {
    case Group::Bool: return equalLists<bool>(*this, right, &L::atbool, header);
    case Group::Int8: return equalLists<char>(*this, right, &L::atInt8, header);
    case Group::UInt8: return equalLists<unsigned char>(*this, right, &L::atUInt8, header);
    case Group::Int16: return equalLists<short>(*this, right, &L::atInt16, header);
    case Group::UInt16: return equalLists<unsigned short>(*this, right, &L::atUInt16, header);
    case Group::Int32: return equalLists<int>(*this, right, &L::atInt32, header);
    case Group::UInt32: return equalLists<unsigned int>(*this, right, &L::atUInt32, header);
    case Group::Float: return equalLists<float>(*this, right, &L::atFloat, header);
    case Group::Int64: return equalLists<long long>(*this, right, &L::atInt64, header);
    case Group::UInt64: return equalLists<unsigned long long>(*this, right, &L::atUInt64, header);
    case Group::Double: return equalLists<double>(*this, right, &L::atDouble, header);
    case Group::String: return equalLists<QString>(*this, right, &L::atQString, header);
    case Group::None: break;
    }
    return header;
}
