#include "ReadPlan.h"

#include "driver/Codec.h"
#include "host/DataType.h"
#include "driver/Tags.h"
#include "veskor/Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMap>

#include <cmath>

namespace veskorgw {

namespace {

QString areaName(int code)
{
    int n = 0;
    const veskor::AreaEntry *table = veskor::areaTable(&n);
    for (int i = 0; i < n; ++i)
        if (int(table[i].code) == code)
            return QString::fromLatin1(table[i].name);
    return QString();
}

// A JSON element as the text a write value is parsed from.
bool jsonText(const QJsonValue &v, QString *out)
{
    if (v.isBool()) {
        *out = v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    } else if (v.isDouble()) {
        const double d = v.toDouble();
        if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0)
            *out = QString::number(qint64(d));
        else
            *out = QString::number(d, 'g', 17);
    } else if (v.isString()) {
        *out = v.toString();
    } else {
        return false;
    }
    return true;
}

// The payload's value texts: JSON when it parses as JSON, else plain text
// (several values separated by spaces or commas; a string tag's text whole).
bool payloadTexts(const TagConfig &tag, const QByteArray &payload, QStringList *texts, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + payload + "]", &pe);
    if (pe.error != QJsonParseError::NoError || doc.array().size() != 1) {
        const QString plain = QString::fromUtf8(payload).trimmed();
        if (tag.type == DT_STRING)
            *texts = QStringList{QString::fromUtf8(payload)};
        else
            *texts = plain.split(QRegExp(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
        return true;
    }
    QJsonValue v = doc.array().at(0);
    if (v.isObject()) {
        if (!v.toObject().contains(QLatin1String("value"))) {
            *error = QStringLiteral("a JSON object needs the key \"value\"");
            return false;
        }
        v = v.toObject().value(QLatin1String("value"));
    }
    const QJsonArray items = v.isArray() ? v.toArray() : QJsonArray{v};
    for (const QJsonValue &item : items) {
        QString t;
        if (!jsonText(item, &t)) {
            *error = QStringLiteral("values are numbers, true/false or strings");
            return false;
        }
        texts->append(t);
    }
    return true;
}

} // namespace

QVector<ReadRequest> planReads(const QVector<TagConfig> &tags, bool group)
{
    QVector<ReadRequest> plan;
    if (!group) {
        for (int i = 0; i < tags.size(); ++i)
            plan.append(ReadRequest{tags.at(i).tag, tags.at(i).type, tags.at(i).count, {i}, false});
        return plan;
    }
    QMap<int, int> requestOfArea;
    for (int i = 0; i < tags.size(); ++i) {
        const TagConfig &t = tags.at(i);
        auto it = requestOfArea.find(t.area);
        if (it == requestOfArea.end()) {
            it = requestOfArea.insert(t.area, plan.size());
            plan.append(ReadRequest{areaName(t.area) + QLatin1Char('0'), DT_UINT8, 0, {}, true});
        }
        ReadRequest &r = plan[it.value()];
        r.tags.append(i);
        r.count = qMax(r.count, t.address + t.bytes);
    }
    return plan;
}

QByteArray imageBytes(const QVariant &value)
{
    if (value.userType() != qMetaTypeId<QList<unsigned char>>())
        return QByteArray();
    const auto *list = static_cast<const QList<unsigned char> *>(value.constData());
    QByteArray out(list->size(), Qt::Uninitialized);
    for (int i = 0; i < list->size(); ++i)
        out[i] = char(list->at(i));
    return out;
}

QVariant decodeFromImage(const TagConfig &tag, const QByteArray &image)
{
    if (qint64(tag.address) + tag.bytes > image.size())
        return QVariant();
    return veskor::codec::decodeTag(
        tag.type, QByteArray::fromRawData(image.constData() + tag.address, tag.bytes), tag.count);
}

QJsonValue valueJson(const TagConfig &tag, const QVariant &value)
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    const QJsonArray items = veskortool::valuesToJson(value);
    if (items.isEmpty())
        return QJsonValue(QJsonValue::Null);
    // A string tag of n bytes is one field: its text is the first element.
    if (tag.type == DT_STRING || items.size() == 1)
        return items.first();
    return items;
}

bool numericValue(const TagConfig &tag, const QVariant &value, double *out)
{
    if (tag.type == DT_STRING || tag.count != 1 || !value.isValid())
        return false;
    const QJsonValue v = valueJson(tag, value);
    if (v.isBool()) {
        *out = v.toBool() ? 1 : 0;
        return true;
    }
    if (v.isDouble()) {
        *out = v.toDouble();
        return true;
    }
    // 64-bit integers past 2^53 come as text, and so do nan and inf.
    bool ok = false;
    *out = QLocale::c().toDouble(v.toString(), &ok);
    if (!ok && v.isString()) {
        const QString s = v.toString();
        if (s == QLatin1String("nan") || s == QLatin1String("inf") || s == QLatin1String("-inf")) {
            *out = s == QLatin1String("nan") ? std::nan("") : (s.startsWith('-') ? -INFINITY : INFINITY);
            return true;
        }
    }
    return ok;
}

bool valuesForWrite(const TagConfig &tag, const QByteArray &payload, QVariant *out, QString *error)
{
    QStringList texts;
    if (!payloadTexts(tag, payload, &texts, error))
        return false;
    if (tag.type == DT_STRING) {
        if (texts.size() != 1) {
            *error = QStringLiteral("a string tag takes one text");
            return false;
        }
        const int bytes = texts.first().toUtf8().size();
        if (bytes + 1 > tag.count || bytes > 255) {
            *error = QStringLiteral("text of %1 bytes does not fit the %2-byte field (length byte and text)")
                         .arg(bytes).arg(tag.count);
            return false;
        }
    } else if (texts.size() != tag.count) {
        *error = QStringLiteral("%1 value(s) for a tag of %2 element(s)").arg(texts.size()).arg(tag.count);
        return false;
    }
    return veskortool::parseValues(tag.type, texts, out, error);
}

} // namespace veskorgw
