#include "Once.h"

#include "ReadPlan.h"

#include "common/Values.h"
#include "driver/ExportTCPDLL.h"
#include "driver/ResultCodes.h"
#include "host/CDriveBaseClass.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <thread>

namespace veskorgw {

namespace {

// One controller's reads, on the calling thread; `out` holds its tags.
void readController(const ControllerConfig &c, OnceReading *out)
{
    CDriveBaseClass *driver = getSharedLibrary();
    driver->SetConnectPar(QString::number(c.device));
    int unanswered = driver->ConnectDrive(c.connect) == 0 ? veskor::RcDone : veskor::RcNoSocket;
    for (const ReadRequest &r : planReads(c.tags, c.group)) {
        if (unanswered != veskor::RcDone) {
            for (int t : r.tags)
                out[t].code = unanswered;
            continue;
        }
        const CLabelVariable rec = driver->ReadVariable(r.tag, DataType(r.type), r.count);
        if (rec.resultCode == veskor::RcNoAnswer || rec.resultCode == veskor::RcNoSocket)
            unanswered = rec.resultCode;   // one wait for a silent controller, not one per read
        const QByteArray image = r.image ? imageBytes(rec.value) : QByteArray();
        for (int t : r.tags) {
            const TagConfig &tag = c.tags.at(t);
            const QVariant value = rec.resultCode != veskor::RcDone ? QVariant()
                                 : r.image ? decodeFromImage(tag, image) : rec.value;
            out[t].code = rec.resultCode != veskor::RcDone ? rec.resultCode
                        : value.isValid() ? int(veskor::RcDone) : int(veskor::RcLength);
            out[t].value = valueJson(tag, value);
            out[t].time = rec.timeStamp;
        }
    }
    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver);
}

QString valueText(const OnceReading &r)
{
    if (r.code != veskor::RcDone)
        return QStringLiteral("(%1 %2)").arg(r.code).arg(QLatin1String(veskor::resultCodeMeaning(r.code)));
    const QJsonArray one{r.value};
    const QByteArray json = QJsonDocument(one).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));   // without the array's brackets
}

} // namespace

QVector<OnceReading> readOnce(const GatewayConfig &config)
{
    QVector<OnceReading> all;
    QVector<int> first;   // each controller's first row
    for (int c = 0; c < config.controllers.size(); ++c) {
        first << all.size();
        for (int t = 0; t < config.controllers.at(c).tags.size(); ++t) {
            OnceReading r;
            r.controller = c;
            r.tag = t;
            all << r;
        }
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < config.controllers.size(); ++c)
        threads.emplace_back(readController, std::cref(config.controllers.at(c)), all.data() + first.at(c));
    for (std::thread &t : threads)
        t.join();
    return all;
}

QByteArray onceTable(const GatewayConfig &config, const QVector<OnceReading> &readings)
{
    QVector<QStringList> rows{{QStringLiteral("controller"), QStringLiteral("name"), QStringLiteral("tag"),
                               QStringLiteral("type"), QStringLiteral("value")}};
    for (const OnceReading &r : readings) {
        const TagConfig &tag = config.controllers.at(r.controller).tags.at(r.tag);
        const QString type = tag.count > 1 && tag.type != DT_STRING
                                 ? QStringLiteral("%1x%2").arg(veskortool::typeName(tag.type)).arg(tag.count)
                                 : veskortool::typeName(tag.type);
        rows << QStringList{config.controllers.at(r.controller).name, tag.name, tag.tag, type, valueText(r)};
    }
    QVector<int> width(rows.first().size(), 0);
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i)
            width[i] = qMax(width[i], row.at(i).size());
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(width[i] + 2) : row.at(i);
        out += line + QLatin1Char('\n');
    }
    return out.toUtf8();
}

QByteArray onceJson(const GatewayConfig &config, const QVector<OnceReading> &readings)
{
    QJsonArray list;
    for (const OnceReading &r : readings) {
        const TagConfig &tag = config.controllers.at(r.controller).tags.at(r.tag);
        QJsonObject o{{QStringLiteral("controller"), config.controllers.at(r.controller).name},
                      {QStringLiteral("name"), tag.name},
                      {QStringLiteral("tag"), tag.tag},
                      {QStringLiteral("type"), veskortool::typeName(tag.type)},
                      {QStringLiteral("count"), tag.count},
                      {QStringLiteral("code"), r.code}};
        if (r.code == veskor::RcDone) {
            o.insert(QStringLiteral("value"), r.value);
            o.insert(QStringLiteral("time"), veskortool::formatTimestamp(r.time));
        } else {
            o.insert(QStringLiteral("error"), QLatin1String(veskor::resultCodeMeaning(r.code)));
        }
        list << o;
    }
    return QJsonDocument(list).toJson(QJsonDocument::Indented);
}

} // namespace veskorgw
