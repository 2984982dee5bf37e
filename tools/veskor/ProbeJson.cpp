// The probe's report as JSON. Pure.
#include "ProbeParts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace veskortool {

using namespace probeparts;

namespace {

QJsonObject readsJson(const ProbeReport &r)
{
    QJsonObject reads{{QStringLiteral("area"), r.rttArea}, {QStringLiteral("sent"), r.reads},
                      {QStringLiteral("onTime"), r.onTime}, {QStringLiteral("lost"), r.lost},
                      {QStringLiteral("short"), r.shortAnswers}, {QStringLiteral("error"), r.errorAnswers}};
    if (r.onTime > 0)
        reads.insert(QStringLiteral("rttMs"), QJsonObject{{QStringLiteral("min"), r.rttMinMs},
                                                          {QStringLiteral("median"), r.rttMedianMs},
                                                          {QStringLiteral("p99"), r.rttP99Ms},
                                                          {QStringLiteral("max"), r.rttMaxMs}});
    return reads;
}

QJsonObject areaJson(const ProbeReport::Area &a)
{
    static const char *const states[] = {"image", "error", "silent", "not asked", "short"};
    QJsonObject o{{QStringLiteral("name"), a.name}, {QStringLiteral("answer"), QLatin1String(states[a.state])}};
    if (a.state == ProbeReport::Area::Image || a.state == ProbeReport::Area::Short)
        o.insert(QStringLiteral("length"), a.length);
    if (a.state == ProbeReport::Area::Error)
        o.insert(QStringLiteral("firstByte"), a.firstByte);
    o.insert(QStringLiteral("asked"), a.asked);
    o.insert(QStringLiteral("times"), a.habitTimes());
    o.insert(QStringLiteral("images"), a.images);
    o.insert(QStringLiteral("errors"), a.errors);
    o.insert(QStringLiteral("short"), a.shorts);
    o.insert(QStringLiteral("silent"), a.silent);
    return o;
}

QJsonObject sourcesJson(const ProbeReport &r)
{
    QJsonObject ports, strangers;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        ports.insert(QString::number(it.key()), it.value());
    for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
        strangers.insert(it.key(), it.value());
    QJsonObject sources{{QStringLiteral("ports"), ports}, {QStringLiteral("otherAddresses"), strangers}};
    if (r.furtherSenders > 0)
        sources.insert(QStringLiteral("furtherSenders"), r.furtherSenders);
    return sources;
}

QJsonObject otherDeviceJson(const ProbeReport &r)
{
    static const char *const answers[] = {"not asked", "silent", "same", "different"};
    return QJsonObject{{QStringLiteral("device"), double(r.otherDeviceId)},
                       {QStringLiteral("answer"), QLatin1String(answers[r.otherDevice])},
                       {QStringLiteral("asked"), r.otherDeviceAsked},
                       {QStringLiteral("answered"), r.otherDeviceAnswered},
                       {QStringLiteral("detail"), r.otherDeviceDetail}};
}

QJsonObject writeJson(const ProbeReport &r)
{
    static const char *const writes[] = {"not asked", "skipped", "silent", "copies header", "other"};
    return QJsonObject{{QStringLiteral("tag"), r.writeTag},
                       {QStringLiteral("answer"), QLatin1String(writes[r.write])},
                       {QStringLiteral("sent"), r.writes},
                       {QStringLiteral("answered"), r.writesAnswered},
                       {QStringLiteral("copied"), r.writesCopied},
                       {QStringLiteral("detail"), r.writeDetail}};
}

QJsonObject scanJson(const ProbeReport &r)
{
    QJsonArray checked;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        checked.append(QJsonObject{{QStringLiteral("device"), double(c.id)},
                                   {QStringLiteral("asked"), c.asked},
                                   {QStringLiteral("answered"), c.answered}});
    return QJsonObject{{QStringLiteral("devices"), deviceListText(r.scanned)},
                       {QStringLiteral("tried"), r.scanned.size()},
                       {QStringLiteral("checked"), checked}};
}

} // namespace

QString probeJson(const ProbeReport &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("probe"));
    o.insert(QStringLiteral("controller"), r.controller);
    o.insert(QStringLiteral("device"), double(r.device));
    o.insert(QStringLiteral("repeat"), r.repeat);
    o.insert(QStringLiteral("requests"), r.requests);
    o.insert(QStringLiteral("elapsedMs"), double(r.elapsedMs));
    o.insert(QStringLiteral("answered"), r.answered);
    o.insert(QStringLiteral("refused"), r.refused);
    if (!r.stopped.isEmpty())
        o.insert(QStringLiteral("stopped"), r.stopped);
    o.insert(QStringLiteral("reads"), readsJson(r));
    o.insert(QStringLiteral("rates"), QJsonObject{{QStringLiteral("reads"), r.rateReads},
                                                  {QStringLiteral("lost"), r.rateLost},
                                                  {QStringLiteral("short"), r.rateShort},
                                                  {QStringLiteral("error"), r.rateError}});
    QJsonArray areas;
    for (const ProbeReport::Area &a : r.areas)
        areas.append(areaJson(a));
    o.insert(QStringLiteral("areas"), areas);
    o.insert(QStringLiteral("echo"), QJsonObject{{QStringLiteral("readAnswers"), r.readAnswers},
                                                 {QStringLiteral("sequence"), r.sequenceCopied},
                                                 {QStringLiteral("areaCode"), r.areaCopied},
                                                 {QStringLiteral("deviceId"), r.deviceCopied},
                                                 {QStringLiteral("echoesSequence"), r.echoesSequence},
                                                 {QStringLiteral("headerBytes"), QString::fromLatin1(r.headerCopies)}});
    o.insert(QStringLiteral("sources"), sourcesJson(r));
    if (r.otherDevice != ProbeReport::DeviceNotAsked)
        o.insert(QStringLiteral("otherDevice"), otherDeviceJson(r));
    if (r.write != ProbeReport::WriteNotAsked)
        o.insert(QStringLiteral("write"), writeJson(r));
    if (!r.scanned.isEmpty())
        o.insert(QStringLiteral("scan"), scanJson(r));
    o.insert(QStringLiteral("duplicates"), r.duplicates);
    o.insert(QStringLiteral("late"), r.late);
    o.insert(QStringLiteral("unexplained"), r.unexplained);
    if (r.countedOnly > 0)
        o.insert(QStringLiteral("countedOnly"), r.countedOnly);
    o.insert(QStringLiteral("verdict"), QJsonArray::fromStringList(r.verdict));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}
} // namespace veskortool
