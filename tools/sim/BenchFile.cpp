#include "BenchFile.h"

#include "common/HostPort.h"
#include "common/Resolve.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>
#include <cmath>

namespace veskorsim {
namespace cli {

void fail(const QString &message, int status)
{
    throw Failure{message, status};
}

bool parseUInt(const QString &text, quint64 max, quint64 *out)
{
    bool ok = false;
    const quint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? text.mid(2).toULongLong(&ok, 16)
                          : text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *out = v;
    return true;
}

bool parseHex(const QString &text, QByteArray *out)
{
    if (text.isEmpty() || text.size() % 2)
        return false;
    for (QChar c : text)
        if (!std::isxdigit(c.toLatin1()) || c.unicode() > 0x7f)
            return false;
    *out = QByteArray::fromHex(text.toLatin1());
    return true;
}

void fail(const QString &subject, const QString &problem)
{
    fail(subject + QStringLiteral(": ") + problem);
}

void setListen(const QString &subject, const QString &text, SimConfig *config)
{
    veskortools::HostPort listen;
    QString error;
    if (veskortools::parseHostPort(text, veskortools::kListenForm, &listen, &error) != veskortools::HostPortError::None)
        fail(subject, error);
    QHostAddress address;
    if (!veskortools::resolveIPv4(listen.host, &address, &error)) {
        // A numeric address of another family is no name to look up.
        if (!address.isNull())
            fail(subject, error);
        fail(subject + QStringLiteral(": ") + error, ExitResolve);
    }
    config->address = address;
    config->port = listen.port;
}

Fault faultKind(const QString &subject, const QString &name)
{
    Fault kind;
    if (!faultFromName(name, &kind) || kind == Fault::None)
        fail(subject, QStringLiteral("unknown fault kind '%1' (%2)").arg(name, QLatin1String(kFaultKinds)));
    return kind;
}

namespace {

// A JSON value as it is written in the file, cut short when long.
QString jsonText(const QJsonValue &v)
{
    QString s = QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact));
    s = s.mid(1, s.size() - 2);
    if (s.size() > 60)
        s = s.left(56) + QStringLiteral(" ...");
    return s;
}

// A JSON number that is a whole number 0..max.
bool jsonUInt(const QJsonValue &v, quint64 max, quint64 *out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= 0.0 && d <= double(max)) || std::floor(d) != d)
        return false;
    *out = quint64(d);
    return true;
}

// Reads a bench file over config and memory (applyBenchFile).
class BenchReader
{
public:
    static void apply(const QString &path, SimConfig *config, Memory *memory)
    {
        BenchReader{path, config, memory};
    }

private:
    BenchReader(const QString &path, SimConfig *config, Memory *memory)
        : m_file(QStringLiteral("--config '%1'").arg(path)), m_config(config), m_memory(memory)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            fail(m_file, f.errorString());
        const QByteArray data = f.readAll();
        if (f.error() != QFileDevice::NoError)
            fail(m_file, f.errorString());
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(data, &pe);
        if (pe.error != QJsonParseError::NoError)
            fail(m_file, QStringLiteral("%1 at offset %2 (line %3)")
                             .arg(pe.errorString())
                             .arg(pe.offset)
                             .arg(data.left(pe.offset).count('\n') + 1));
        if (!doc.isObject())
            fail(m_file, QStringLiteral("expected a JSON object { ... }"));
        read(doc.object());
    }

    // "--config 'FILE': KEY VALUE"
    QString at(const QString &key, const QJsonValue &v) const
    {
        return QStringLiteral("%1: %2 %3").arg(m_file, key, jsonText(v));
    }
    bool flag(const QString &key, const QJsonValue &v) const
    {
        if (!v.isBool())
            fail(at(key, v), QStringLiteral("expected true or false"));
        return v.toBool();
    }
    quint64 whole(const QString &key, const QJsonValue &v, quint64 max) const
    {
        quint64 n = 0;
        if (!jsonUInt(v, max, &n))
            fail(at(key, v), QStringLiteral("expected a whole number 0..%1").arg(max));
        return n;
    }
    QJsonObject object(const QString &key, const QJsonValue &v) const
    {
        if (!v.isObject())
            fail(at(key, v), QStringLiteral("expected an object { ... }"));
        return v.toObject();
    }
    void onlyKeys(const QString &where, const QJsonObject &o, const QStringList &known) const
    {
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!known.contains(it.key()))
                fail(m_file, QStringLiteral("%1unknown key '%2' (known: %3)")
                                 .arg(where.isEmpty() ? QString() : where + QStringLiteral(": "),
                                      it.key(), known.join(QStringLiteral(", "))));
    }

    void read(const QJsonObject &top)
    {
        onlyKeys(QString(), top,
                 {QStringLiteral("listen"), QStringLiteral("areaSize"), QStringLiteral("seed"),
                  QStringLiteral("delayMs"), QStringLiteral("fill"), QStringLiteral("areas"),
                  QStringLiteral("faults"), QStringLiteral("device"), QStringLiteral("ignoreDevice"),
                  QStringLiteral("noEcho"), QStringLiteral("answerPort")});
        if (top.contains(QLatin1String("device")) && top.value(QLatin1String("ignoreDevice")).toBool())
            fail(m_file, QStringLiteral("\"device\" and \"ignoreDevice\": true contradict each other"));
        for (auto it = top.begin(); it != top.end(); ++it) {
            const QString key = it.key();
            const QJsonValue v = it.value();
            if (key == QLatin1String("listen")) {
                if (!v.isString())
                    fail(at(key, v), QStringLiteral("expected \"ADDR:PORT\""));
                setListen(at(key, v), v.toString(), m_config);
            } else if (key == QLatin1String("areaSize")) {
                m_config->areaSize = int(whole(key, v, quint64(kMaxAreaSize)));
            } else if (key == QLatin1String("seed")) {
                m_config->seed = quint32(whole(key, v, 0xffffffffu));
            } else if (key == QLatin1String("delayMs")) {
                m_config->delayMs = int(whole(key, v, 24u * 3600 * 1000));
            } else if (key == QLatin1String("fill")) {
                m_memory->fillByte = quint8(whole(key, v, 255));
                m_memory->fill = true;
            } else if (key == QLatin1String("device")) {
                m_config->device = quint32(whole(key, v, 0xffffffffu));
            } else if (key == QLatin1String("ignoreDevice")) {
                if (flag(key, v))
                    m_config->device.reset();
            } else if (key == QLatin1String("noEcho")) {
                m_config->noEcho = flag(key, v);
            } else if (key == QLatin1String("answerPort")) {
                const quint64 port = whole(key, v, 65535);
                if (port == 0)
                    fail(at(key, v), QStringLiteral("expected a port 1..65535"));
                m_config->answerPort = quint16(port);
            } else if (key == QLatin1String("faults")) {
                readFaults(object(key, v));
            } else if (key == QLatin1String("areas")) {
                readAreas(object(key, v));
            }
        }
    }

    void readFaults(const QJsonObject &faults)
    {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            const Fault kind = faultKind(m_file + QStringLiteral(": faults"), it.key());
            const double p = it.value().toDouble(-1.0);
            if (!it.value().isDouble() || !(p >= 0.0 && p <= 1.0))
                fail(at(QStringLiteral("faults.") + it.key(), it.value()),
                     QStringLiteral("expected a probability 0..1"));
            m_config->faultRates[kind] = p;
        }
    }

    void readAreas(const QJsonObject &areas)
    {
        QMap<quint32, QString> seen;
        for (auto it = areas.begin(); it != areas.end(); ++it) {
            const QString name = it.key();
            const quint32 code = areaCodeOf(name);
            if (!code)
                fail(m_file, QStringLiteral("areas: unknown area '%1' (ID1x..ID23x)").arg(name));
            if (seen.contains(code))
                fail(m_file, QStringLiteral("areas: '%1' and '%2' name the same area")
                                 .arg(seen.value(code), name));
            seen.insert(code, name);
            const QString areaKey = QStringLiteral("areas.") + name;
            if (!it.value().isArray())
                fail(at(areaKey, it.value()),
                     QStringLiteral("expected a list [ {\"offset\": N, \"hex\": \"...\"}, ... ]"));
            const QJsonArray entries = it.value().toArray();
            for (int i = 0; i < entries.size(); ++i) {
                const QString entryKey = QStringLiteral("%1[%2]").arg(areaKey).arg(i);
                const QJsonObject e = object(entryKey, entries.at(i));
                onlyKeys(entryKey, e, {QStringLiteral("offset"), QStringLiteral("hex")});
                AreaSeed seed;
                seed.code = code;
                seed.offset = 0;
                if (e.contains(QLatin1String("offset")))
                    seed.offset = int(whole(entryKey + QStringLiteral(".offset"),
                                            e.value(QLatin1String("offset")),
                                            quint64(kMaxAreaSize)));
                const QJsonValue hex = e.value(QLatin1String("hex"));
                if (hex.isUndefined())
                    fail(m_file, entryKey + QStringLiteral(": \"hex\" is missing"));
                if (!hex.isString() || !parseHex(hex.toString(), &seed.bytes))
                    fail(at(entryKey + QStringLiteral(".hex"), hex),
                         QStringLiteral("expected a string of an even number of hex digits"));
                seed.subject = QStringLiteral("%1: %2 (offset %3, %4 byte%5)")
                                   .arg(m_file, entryKey)
                                   .arg(seed.offset)
                                   .arg(seed.bytes.size())
                                   .arg(seed.bytes.size() == 1 ? "" : "s");
                m_memory->seeds.append(seed);
            }
        }
    }

    const QString m_file;
    SimConfig *m_config;
    Memory *m_memory;
};

} // namespace

void applyBenchFile(const QString &path, SimConfig *config, Memory *memory)
{
    BenchReader::apply(path, config, memory);
}

} // namespace cli
} // namespace veskorsim
