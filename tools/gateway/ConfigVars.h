#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace veskorgw {

// A variable's value, or nothing when it is not set.
using VariableLookup = std::function<std::optional<QString>(const QString &name)>;

// The process environment as a VariableLookup.
std::optional<QString> environmentVariable(const QString &name);

// `text` with each ${NAME} replaced by the variable's value and each
// ${NAME:-default} by its value, or `default` when it is unset or empty;
// $${ stands for a literal ${ and any other $ stays as it is. NAME is
// letters, digits and underscores, not starting with a digit. On a fault
// (an unset variable without default, a ${ without its }, a name that is
// none) `fault` says which and the result is empty.
QString expandVariables(const QString &text, const VariableLookup &lookup, QString *fault);

// Every string in a JSON tree expanded so; object keys stay as they are.
// Each fault is added as "<where>: <what>", where is the key path
// ("mqtt.host", "controllers[1].tags[0].name"); the string keeps its text.
QJsonValue expandVariables(const QJsonValue &value, const QString &where, const VariableLookup &lookup,
                           QStringList *faults);

} // namespace veskorgw
