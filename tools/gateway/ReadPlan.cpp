#include "ReadPlan.h"

#include "driver/Codec.h"
#include "driver/ResultCodes.h"
#include "host/CLabelVariable.h"
#include "host/DataType.h"
#include "driver/Tags.h"
#include "common/Areas.h"
#include "common/Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMap>
#include <QRegularExpression>
#include <QTextCodec>

#include <cmath>

namespace veskorgw {

namespace {

QString areaName(int code)
{
    const veskor::AreaEntry *area = veskortools::areaByCode(quint32(code));
    return area ? QString::fromLatin1(area->name) : QString();
}

// The payload's value texts: JSON when it is JSON (read exactly, see
// veskortool::valueTextsFromJson), else plain text: several values
// separated by spaces or commas, a string tag's text whole.
bool payloadTexts(const TagConfig &tag, const QByteArray &payload, QStringList *texts, QString *error)
{
    switch (veskortool::valueTextsFromJson(payload, texts, error)) {
    case veskortool::JsonValues::Taken: return true;
    case veskortool::JsonValues::Refused: return false;
    case veskortool::JsonValues::NotJson: break;
    }
    // With its NUL bytes: QString::fromUtf8(QByteArray) would stop at the first.
    const QString plain = QString::fromUtf8(payload.constData(), payload.size());
    if (tag.type == DT_STRING)
        *texts = QStringList{plain};
    else
        *texts = plain.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    return true;
}

bool isUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
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

QString describePlan(const QVector<ReadRequest> &plan, bool group)
{
    QStringList reads;
    for (const ReadRequest &r : plan)
        reads << (r.image ? QStringLiteral("%1 %2 bytes").arg(r.tag.chopped(1)).arg(r.count) : r.tag);
    return QStringLiteral("%1 request(s) per cycle, %2: %3")
        .arg(plan.size())
        .arg(group ? QStringLiteral("grouped") : QStringLiteral("tag by tag"), reads.join(QStringLiteral(", ")));
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

namespace {

// One element of a value's JSON as a number: bools 0 and 1; 64-bit integers
// past 2^53, nan and inf come as text.
bool jsonNumber(const QJsonValue &v, double *out)
{
    if (v.isBool()) {
        *out = v.toBool() ? 1 : 0;
        return true;
    }
    if (v.isDouble()) {
        *out = v.toDouble();
        return true;
    }
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

// A scaled tag's elements: raw x scale + offset; nan and inf as text, as
// unscaled values have them.
QJsonValue scaledJson(const QJsonArray &items, const veskortool::Scaling &scaling)
{
    QJsonArray scaled;
    for (const QJsonValue &item : items) {
        double raw = 0;
        jsonNumber(item, &raw);
        const double v = veskortool::scaledValue(raw, scaling);
        scaled.append(std::isfinite(v) ? QJsonValue(v)
                                       : QJsonValue(std::isnan(v) ? QStringLiteral("nan")
                                                    : v > 0 ? QStringLiteral("inf") : QStringLiteral("-inf")));
    }
    return scaled.size() == 1 ? scaled.first() : QJsonValue(scaled);
}

} // namespace

QJsonValue valueJson(const TagConfig &tag, const QVariant &value)
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    const QJsonArray items = veskortool::valuesToJson(value);
    if (items.isEmpty())
        return QJsonValue(QJsonValue::Null);
    // A string tag of n bytes is one field: its text is the first element.
    if (tag.type == DT_STRING)
        return items.first();
    if (!tag.scaling.isIdentity())
        return scaledJson(items, tag.scaling);
    return items.size() == 1 ? items.first() : QJsonValue(items);
}


QVector<double> numericValues(const TagConfig &tag, const QVariant &value)
{
    QVector<double> out;
    if (tag.type == DT_STRING || !value.isValid())
        return out;
    const QJsonValue v = valueJson(tag, value);
    const QJsonArray items = v.isArray() ? v.toArray() : QJsonArray{v};
    out.reserve(items.size());
    for (const QJsonValue &item : items) {
        double d = 0;
        if (!jsonNumber(item, &d))
            return QVector<double>();
        out.append(d);
    }
    return out;
}

qint64 maxSetPayloadBytes(const TagConfig &tag)
{
    if (tag.type == DT_STRING)
        return 6 * qBound(0, tag.count - 1, 255) + 2 + kSetPayloadSlack;
    // A scaled tag takes its values as numbers of any form.
    const int element = veskortool::longestValueText(tag.scaling.isIdentity() ? tag.type : int(DT_DOUBLE));
    return qint64(qMax(tag.count, 1)) * ((element > 0 ? element : 32) + 4) + kSetPayloadSlack;
}

quint32 maxSetPacketBytes(const QVector<TagConfig> &tags)
{
    qint64 largest = 0;
    for (const TagConfig &t : tags)
        if (t.writable)
            largest = qMax(largest, maxSetPayloadBytes(t));
    return quint32(qBound<qint64>(kMinSetPacketBytes, largest + 64 * 1024, 0x0FFFFFFF));
}

bool valuesForWrite(const TagConfig &tag, const QByteArray &payload, QVariant *out, QString *error)
{
    if (payload.size() > maxSetPayloadBytes(tag)) {
        *error = QStringLiteral("payload of %1 bytes is larger than a value of this tag can be (at most %2)")
                     .arg(payload.size()).arg(maxSetPayloadBytes(tag));
        return false;
    }
    if (!isUtf8(payload)) {
        *error = QStringLiteral("the payload is not UTF-8 text");
        return false;
    }
    QStringList texts;
    if (!payloadTexts(tag, payload, &texts, error))
        return false;
    if (tag.type == DT_STRING) {
        if (texts.size() != 1) {
            *error = QStringLiteral("a string tag takes one text");
            return false;
        }
        // Refused as the driver would refuse it: a string tag of n elements
        // is one n-byte field.
        CLabelVariable record;
        record.value = QVariant::fromValue(QList<QString>{texts.first()});
        if (veskor::codec::encodeTag(DT_STRING, record, tag.count, tag.count).resultCode != veskor::RcDone) {
            const int bytes = texts.first().toUtf8().size();
            *error = QStringLiteral("text of %1 bytes does not fit the %2-byte field (length byte and text)")
                         .arg(bytes).arg(tag.count);
            return false;
        }
    } else if (texts.size() != tag.count) {
        *error = QStringLiteral("%1 value(s) for a tag of %2 element(s)").arg(texts.size()).arg(tag.count);
        return false;
    }
    // Engineering values go as the raw values the controller holds.
    if (!tag.scaling.isIdentity()) {
        for (QString &text : texts) {
            if (!veskortool::rawTextForValue(text, tag.type, tag.scaling, &text, error))
                return false;
        }
    }
    return veskortool::parseValues(tag.type, texts, out, error);
}

} // namespace veskorgw
