#include "ConfigVars.h"

#include <QJsonArray>
#include <QJsonObject>

namespace veskorgw {

namespace {

bool isNameStart(QChar c)
{
    return (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || c == QLatin1Char('_');
}

bool isName(const QString &name)
{
    if (name.isEmpty() || !isNameStart(name.at(0)))
        return false;
    for (const QChar c : name)
        if (!isNameStart(c) && !(c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            return false;
    return true;
}

// The value of one ${...}, whose inside is `inner`.
std::optional<QString> valueOf(const QString &inner, const VariableLookup &lookup, QString *fault)
{
    const int dash = inner.indexOf(QLatin1String(":-"));
    const QString name = dash < 0 ? inner : inner.left(dash);
    if (!isName(name)) {
        *fault = QStringLiteral("${%1} names no variable (letters, digits and _, not starting with a digit)")
                     .arg(inner);
        return std::nullopt;
    }
    const std::optional<QString> value = lookup(name);
    if (dash < 0) {
        if (!value)
            *fault = QStringLiteral("${%1} is not set (give a default with ${%1:-default})").arg(name);
        return value;
    }
    return value && !value->isEmpty() ? *value : inner.mid(dash + 2);
}

} // namespace

std::optional<QString> environmentVariable(const QString &name)
{
    const QByteArray key = name.toLocal8Bit();
    if (!qEnvironmentVariableIsSet(key.constData()))
        return std::nullopt;
    return qEnvironmentVariable(key.constData());
}

QString expandVariables(const QString &text, const VariableLookup &lookup, QString *fault)
{
    QString out;
    int from = 0;
    for (int at = text.indexOf(QLatin1String("${")); at >= 0; at = text.indexOf(QLatin1String("${"), from)) {
        if (at > 0 && text.at(at - 1) == QLatin1Char('$')) {   // $${: a literal ${
            out += text.midRef(from, at - 1 - from);
            out += QLatin1String("${");
            from = at + 2;
            continue;
        }
        const int end = text.indexOf(QLatin1Char('}'), at + 2);
        if (end < 0) {
            *fault = QStringLiteral("${ without its closing }");
            return QString();
        }
        const std::optional<QString> value = valueOf(text.mid(at + 2, end - at - 2), lookup, fault);
        if (!value)
            return QString();
        out += text.midRef(from, at - from);
        out += *value;
        from = end + 1;
    }
    out += text.midRef(from);
    return out;
}

QJsonValue expandVariables(const QJsonValue &value, const QString &where, const VariableLookup &lookup,
                           QStringList *faults)
{
    if (value.isString()) {
        QString fault;
        const QString expanded = expandVariables(value.toString(), lookup, &fault);
        if (fault.isEmpty())
            return expanded;
        faults->append(QStringLiteral("%1: %2").arg(where, fault));
        return value;
    }
    if (value.isArray()) {
        QJsonArray list = value.toArray();
        for (int i = 0; i < list.size(); ++i)
            list[i] = expandVariables(list.at(i), QStringLiteral("%1[%2]").arg(where).arg(i), lookup, faults);
        return list;
    }
    if (value.isObject()) {
        QJsonObject o = value.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            it.value() = expandVariables(it.value(), where.isEmpty() ? it.key() : where + QLatin1Char('.') + it.key(),
                                         lookup, faults);
        return o;
    }
    return value;
}

} // namespace veskorgw
