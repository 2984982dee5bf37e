#include "Config.h"
#include "ConfigVars.h"
#include "TagFileRows.h"

#include "common/TagFile.h"
#include "common/WriteOverlap.h"
#include "common/Values.h"
#include "common/HostPort.h"
#include "common/Resolve.h"
#include "driver/Tags.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <sys/stat.h>

namespace veskorgw {

namespace {

using veskortool::quoted;

// The longest topic a tag has: its write's result,
// "<prefix>/<controller>/<tag>/set/result".
const char kLongestTagTail[] = "/set/result";

// Reads the JSON tree into a GatewayConfig, noting every fault and going on,
// so that one run names them all.
class Reader
{
public:
    Reader(const QString &path, GatewayConfig *out, QStringList *faults)
        : m_path(path), m_out(out), m_faults(faults) {}

    void read(const QJsonObject &top);

private:
    void fault(const QString &where, const QString &what)
    {
        m_faults->append(where.isEmpty() ? QStringLiteral("%1: %2").arg(m_path, what)
                                         : QStringLiteral("%1: %2: %3").arg(m_path, where, what));
    }
    static QString join(const QString &where, const QString &key)
    {
        return where.isEmpty() ? key : where + QLatin1Char('.') + key;
    }
    void onlyKeys(const QString &where, const QJsonObject &o, const QStringList &known)
    {
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!known.contains(it.key()))
                fault(where, QStringLiteral("unknown key %1 (known: %2)")
                                 .arg(quoted(it.key()), known.join(QStringLiteral(", "))));
    }
    // A whole number min..max under key, or the default when absent.
    qint64 whole(const QString &where, const QJsonObject &o, const QString &key, qint64 min,
                 qint64 max, qint64 dflt)
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined())
            return dflt;
        const double d = v.toDouble(std::nan(""));
        if (!v.isDouble() || std::floor(d) != d || d < double(min) || d > double(max)) {
            fault(join(where, key), QStringLiteral("expected a whole number %1..%2").arg(min).arg(max));
            return dflt;
        }
        return qint64(d);
    }
    double number(const QString &where, const QJsonObject &o, const QString &key, double dflt)
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined())
            return dflt;
        if (!v.isDouble()) {
            fault(join(where, key), QStringLiteral("expected a number"));
            return dflt;
        }
        return v.toDouble();
    }
    QString text(const QString &where, const QJsonObject &o, const QString &key, const QString &dflt)
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined())
            return dflt;
        if (!v.isString()) {
            fault(join(where, key), QStringLiteral("expected a string"));
            return dflt;
        }
        return v.toString();
    }
    bool flag(const QString &where, const QJsonObject &o, const QString &key, bool dflt)
    {
        const QJsonValue v = o.value(key);
        if (v.isUndefined())
            return dflt;
        if (!v.isBool()) {
            fault(join(where, key), QStringLiteral("expected true or false"));
            return dflt;
        }
        return v.toBool();
    }
    QString relative(const QString &file) const
    {
        return QDir(QFileInfo(m_path).absolutePath()).filePath(file);
    }
    // A file the configuration names is read at once or refused: a FIFO
    // would wait for a writer, a device might never end. A file that is not
    // there passes, for its reader to say so.
    bool isRegularFile(const QString &where, const QString &file)
    {
        struct stat st = {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0 || S_ISREG(st.st_mode))
            return true;
        const char *kind = S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISDIR(st.st_mode) ? "a directory"
                         : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device" : "no regular file";
        fault(where, QStringLiteral("%1 is %2, not a regular file").arg(file, QLatin1String(kind)));
        return false;
    }

    void readMqtt(const QJsonObject &o);
    void readMetrics(const QJsonValue &v);
    void readController(int index, const QJsonObject &o, QHash<QByteArray, QString> *ids);
    bool checkControllerName(const QString &where, const QString &name, QHash<QByteArray, QString> *ids);
    void readTags(const QString &where, const QJsonObject &o, ControllerConfig *c, bool named);
    bool checkTagTopic(const QString &where, const QString &controller, const QString &name, bool named,
                       QHash<QByteArray, QString> *topics, const QString &label);
    bool readTag(const QString &where, const QJsonObject &o, TagConfig *t);
    bool finishTag(const QString &where, TagConfig *t);
    void resolveConnect(const QString &where, ControllerConfig *c);

    const QString m_path;
    GatewayConfig *m_out;
    QStringList *m_faults;
};

void Reader::read(const QJsonObject &top)
{
    onlyKeys(QString(), top, {QStringLiteral("mqtt"), QStringLiteral("metrics"), QStringLiteral("controllers")});
    const QJsonValue mqtt = top.value(QLatin1String("mqtt"));
    if (mqtt.isObject())
        readMqtt(mqtt.toObject());
    else
        fault(QStringLiteral("mqtt"), mqtt.isUndefined() ? QStringLiteral("missing (an object with host, port, prefix)")
                                                         : QStringLiteral("expected an object { ... }"));
    if (top.contains(QLatin1String("metrics")))
        readMetrics(top.value(QLatin1String("metrics")));
    const QJsonValue list = top.value(QLatin1String("controllers"));
    if (!list.isArray() || list.toArray().isEmpty()) {
        fault(QStringLiteral("controllers"), QStringLiteral("expected a list of one or more controllers"));
        return;
    }
    QHash<QByteArray, QString> ids;   // client id -> where its controller is
    const QJsonArray controllers = list.toArray();
    for (int i = 0; i < controllers.size(); ++i) {
        const QString where = QStringLiteral("controllers[%1]").arg(i);
        if (!controllers.at(i).isObject())
            fault(where, QStringLiteral("expected an object { ... }"));
        else
            readController(i, controllers.at(i).toObject(), &ids);
    }
}

void Reader::readMqtt(const QJsonObject &o)
{
    const QString w = QStringLiteral("mqtt");
    onlyKeys(w, o, {QStringLiteral("host"), QStringLiteral("port"), QStringLiteral("prefix"),
                    QStringLiteral("client_id"), QStringLiteral("qos"), QStringLiteral("keepalive_s"),
                    QStringLiteral("username"), QStringLiteral("password_file"), QStringLiteral("ca_file"),
                    QStringLiteral("cert_file"), QStringLiteral("key_file"), QStringLiteral("max_unacked"),
                    QStringLiteral("reconnect_min_s"), QStringLiteral("reconnect_max_s"),
                    QStringLiteral("retain_expiry_s"), QStringLiteral("clean_retained")});
    MqttConfig &m = m_out->mqtt;
    m.host = text(w, o, QStringLiteral("host"), m.host);
    m.port = int(whole(w, o, QStringLiteral("port"), 1, 65535, m.port));
    m.prefix = text(w, o, QStringLiteral("prefix"), m.prefix);
    for (const QString &level : m.prefix.split(QLatin1Char('/'))) {
        const QString why = topicLevelFault(level);
        if (!why.isEmpty()) {
            fault(w + QStringLiteral(".prefix"), QStringLiteral("%1 is no topic prefix: level %2 %3")
                                                    .arg(shownName(m.prefix), shownName(level), why));
            break;
        }
    }
    m.clientId = text(w, o, QStringLiteral("client_id"), m.clientId);
    const QString idFault = m.clientId.isEmpty() ? QStringLiteral("is empty") : mqttTextFault(m.clientId);
    if (!idFault.isEmpty())
        fault(w + QStringLiteral(".client_id"), QStringLiteral("%1 %2").arg(shownName(m.clientId), idFault));
    m.qos = int(whole(w, o, QStringLiteral("qos"), 0, 2, m.qos));
    m.keepaliveS = int(whole(w, o, QStringLiteral("keepalive_s"), 5, 3600, m.keepaliveS));
    m.maxUnacked = int(whole(w, o, QStringLiteral("max_unacked"), 1, 1000000, m.maxUnacked));
    m.retainExpiryS = int(whole(w, o, QStringLiteral("retain_expiry_s"), 0, 2147483647, m.retainExpiryS));
    m.cleanRetained = flag(w, o, QStringLiteral("clean_retained"), m.cleanRetained);
    m.username = text(w, o, QStringLiteral("username"), QString());
    m.reconnectMinS = int(whole(w, o, QStringLiteral("reconnect_min_s"), 1, 3600, m.reconnectMinS));
    m.reconnectMaxS = int(whole(w, o, QStringLiteral("reconnect_max_s"), m.reconnectMinS, 3600,
                                qMax(m.reconnectMinS, m.reconnectMaxS)));
    const QString passwordFile = text(w, o, QStringLiteral("password_file"), QString());
    if (!passwordFile.isEmpty()) {
        QFile f(relative(passwordFile));
        if (isRegularFile(w + QStringLiteral(".password_file"), f.fileName())) {
            if (!f.open(QIODevice::ReadOnly))
                fault(w + QStringLiteral(".password_file"), QStringLiteral("%1: %2").arg(f.fileName(), f.errorString()));
            else
                m.password = f.readLine().trimmed();   // the first line; its line end is no part of it
        }
        if (m.username.isEmpty())
            fault(w + QStringLiteral(".password_file"), QStringLiteral("a password needs a username"));
    }
    for (const auto &[key, target] : {std::pair<const char *, QString *>{"ca_file", &m.caFile},
                                      {"cert_file", &m.certFile}, {"key_file", &m.keyFile}}) {
        const QString file = text(w, o, QLatin1String(key), QString());
        if (file.isEmpty())
            continue;
        *target = relative(file);
        if (!isRegularFile(w + QLatin1Char('.') + QLatin1String(key), *target))
            continue;
        if (!QFileInfo(*target).isReadable())
            fault(w + QLatin1Char('.') + QLatin1String(key), QStringLiteral("cannot read %1").arg(*target));
    }
    if (m.certFile.isEmpty() != m.keyFile.isEmpty())
        fault(w, QStringLiteral("cert_file and key_file go together"));
    if (!m.certFile.isEmpty() && m.caFile.isEmpty())
        fault(w, QStringLiteral("a client certificate needs ca_file"));
}

void Reader::readMetrics(const QJsonValue &v)
{
    // false and "off" (as on the command line) serve none.
    if ((v.isBool() && !v.toBool()) || v.toString() == QLatin1String("off")) {
        m_out->metrics.clear();
        return;
    }
    veskortools::HostPort listen;
    if (!v.isString()
        || veskortools::parseHostPort(v.toString(), veskortools::kAddressForm, &listen) != veskortools::HostPortError::None) {
        fault(QStringLiteral("metrics"), QStringLiteral("expected \"ADDRESS:PORT\", \"off\" or false"));
        return;
    }
    m_out->metrics = v.toString();
}

void Reader::readController(int index, const QJsonObject &o, QHash<QByteArray, QString> *ids)
{
    const QString w = QStringLiteral("controllers[%1]").arg(index);
    onlyKeys(w, o, {QStringLiteral("name"), QStringLiteral("connect"), QStringLiteral("device"),
                    QStringLiteral("period_ms"), QStringLiteral("group"), QStringLiteral("pause_ms"),
                    QStringLiteral("offline_after"), QStringLiteral("publish_every_ms"),
                    QStringLiteral("write_interval_ms"), QStringLiteral("tags"), QStringLiteral("tag_file")});
    ControllerConfig c;
    c.name = text(w, o, QStringLiteral("name"), QString());
    const bool named = checkControllerName(w + QStringLiteral(".name"), c.name, ids);
    c.connectText = text(w, o, QStringLiteral("connect"), QString());
    resolveConnect(w + QStringLiteral(".connect"), &c);
    c.device = quint32(whole(w, o, QStringLiteral("device"), 0, 0xffffffffLL, c.device));
    c.periodMs = int(whole(w, o, QStringLiteral("period_ms"), 10, 86400000, c.periodMs));
    c.group = flag(w, o, QStringLiteral("group"), c.group);
    c.pauseMs = int(whole(w, o, QStringLiteral("pause_ms"), 0, 60000, c.pauseMs));
    c.offlineAfter = int(whole(w, o, QStringLiteral("offline_after"), 1, 1000, c.offlineAfter));
    c.publishEveryMs = int(whole(w, o, QStringLiteral("publish_every_ms"), 0, 86400000, c.publishEveryMs));
    c.writeIntervalMs = int(whole(w, o, QStringLiteral("write_interval_ms"), 0, 3600000, c.writeIntervalMs));
    readTags(w, o, &c, named);
    m_out->controllers.append(c);
}

// A controller's name is a topic level and the end of its client id: the
// broker must take both, within MQTT's lengths, and no other controller's
// client id may be the same bytes. False with a fault.
bool Reader::checkControllerName(const QString &where, const QString &name, QHash<QByteArray, QString> *ids)
{
    const QString why = topicLevelFault(name);
    if (!why.isEmpty()) {
        fault(where, QStringLiteral("%1 is no name: it %2").arg(shownName(name), why));
        return false;
    }
    const QByteArray id = clientIdOf(m_out->mqtt, name);
    const int stateBytes = topicOf(m_out->mqtt, name, QStringLiteral("$state")).size();
    if (id.size() > kMqttMaxBytes || stateBytes > kMqttMaxBytes) {
        fault(where, QStringLiteral("%1 (%2 bytes) makes a client id of %3 bytes and a $state topic of %4 bytes; "
                                    "MQTT takes %5 at most").arg(shownName(name)).arg(name.toUtf8().size())
                         .arg(id.size()).arg(stateBytes).arg(kMqttMaxBytes));
        return false;
    }
    const auto earlier = ids->constFind(id);
    if (earlier != ids->constEnd()) {
        fault(where, QStringLiteral("%1 is the name of an earlier controller, %2 (the same client id and topics)")
                         .arg(shownName(name), earlier.value()));
        return false;
    }
    ids->insert(id, where.section(QLatin1Char('.'), 0, 0));
    return true;
}

void Reader::resolveConnect(const QString &where, ControllerConfig *c)
{
    veskortools::HostPort address;
    if (veskortools::parseHostPort(c->connectText, veskortools::kAddressForm, &address) != veskortools::HostPortError::None) {
        fault(where, QStringLiteral("%1: expected \"HOST:PORT\"").arg(quoted(c->connectText)));
        return;
    }
    QHostAddress numeric;
    QString error;
    if (!veskortools::resolveIPv4(address.host, &numeric, &error)) {
        fault(where, error);
        return;
    }
    c->connect = QStringLiteral("%1:%2").arg(numeric.toString()).arg(address.port);
}

void Reader::readTags(const QString &w, const QJsonObject &o, ControllerConfig *c, bool named)
{
    const bool inline_ = o.contains(QLatin1String("tags"));
    const QString file = text(w, o, QStringLiteral("tag_file"), QString());
    if (inline_ == !file.isEmpty()) {
        fault(w, QStringLiteral("give its tags either as \"tags\": [...] or as \"tag_file\": \"FILE\""));
        return;
    }
    QHash<QByteArray, QString> topics;   // tag topic -> where its tag is
    auto add = [&](const QString &where, TagConfig t, const QString &label) {
        if (finishTag(where, &t) && checkTagTopic(where, c->name, t.name, named, &topics, label))
            c->tags.append(t);
    };
    if (!file.isEmpty()) {
        QVector<veskortool::TagRequest> requests;
        QString error;
        if (!isRegularFile(w + QStringLiteral(".tag_file"), relative(file)))
            return;
        if (!veskortool::readTagFile(relative(file), &requests, &error)) {
            fault(w + QStringLiteral(".tag_file"), error);
            return;
        }
        QHash<QString, bool> verdicts;   // controller column -> names this controller
        for (const veskortool::TagRequest &r : qAsConst(requests)) {
            // A tag's faults name its line, as the tag file's own do.
            const QString line = QStringLiteral("%1:%2").arg(relative(file)).arg(r.line);
            const QString where = w + QStringLiteral(".tag_file: ") + line;
            TagConfig t;
            if (tagFromRow(r, *c, &t, &error, &verdicts))
                add(where, t, line);
            else
                fault(where, error);
        }
        return;
    }
    const QJsonValue list = o.value(QLatin1String("tags"));
    if (!list.isArray() || list.toArray().isEmpty()) {
        fault(w + QStringLiteral(".tags"), QStringLiteral("expected a list of one or more tags"));
        return;
    }
    const QJsonArray tags = list.toArray();
    for (int i = 0; i < tags.size(); ++i) {
        const QString where = QStringLiteral("%1.tags[%2]").arg(w).arg(i);
        TagConfig t;
        if (!tags.at(i).isObject())
            fault(where, QStringLiteral("expected an object { ... }"));
        else if (readTag(where, tags.at(i).toObject(), &t))
            add(where, t, where.section(QLatin1Char('.'), -1));
    }
}

// A tag's topics within MQTT's length (checked once its controller's name
// is good), and no other tag of the controller's the same bytes. False with
// a fault.
bool Reader::checkTagTopic(const QString &where, const QString &controller, const QString &name, bool named,
                           QHash<QByteArray, QString> *topics, const QString &label)
{
    const QByteArray topic = topicOf(m_out->mqtt, controller, name);
    const int longest = topic.size() + int(sizeof kLongestTagTail) - 1;
    if (named && longest > kMqttMaxBytes) {
        fault(where, QStringLiteral("name %1 (%2 bytes) makes its topic ...%3 %4 bytes long; MQTT takes %5 at most")
                         .arg(shownName(name)).arg(name.toUtf8().size()).arg(QLatin1String(kLongestTagTail))
                         .arg(longest).arg(kMqttMaxBytes));
        return false;
    }
    const auto earlier = topics->constFind(topic);
    if (earlier != topics->constEnd()) {
        fault(where, QStringLiteral("name %1 twice in this controller (also %2)").arg(shownName(name), earlier.value()));
        return false;
    }
    topics->insert(topic, label);
    return true;
}

bool Reader::readTag(const QString &w, const QJsonObject &o, TagConfig *t)
{
    const int before = m_faults->size();
    onlyKeys(w, o, {QStringLiteral("name"), QStringLiteral("tag"), QStringLiteral("type"),
                    QStringLiteral("count"), QStringLiteral("writable"), QStringLiteral("deadband"),
                    QStringLiteral("scale"), QStringLiteral("offset"), QStringLiteral("unit")});
    t->name = text(w, o, QStringLiteral("name"), QString());
    t->tag = text(w, o, QStringLiteral("tag"), QString());
    const QJsonValue type = o.value(QLatin1String("type"));
    if (!type.isString()) {
        fault(w, QStringLiteral("\"type\" is missing or not a string"));
    } else {
        QString error;
        if (!veskortool::parseType(type.toString(), &t->type, &error) || !veskortool::isNamedType(t->type))
            fault(w, QStringLiteral("unknown type %1").arg(quoted(type.toString())));
    }
    t->count = int(whole(w, o, QStringLiteral("count"), 1, 65535, 1));
    t->writable = flag(w, o, QStringLiteral("writable"), false);
    const QJsonValue deadband = o.value(QLatin1String("deadband"));
    if (!deadband.isUndefined()) {
        if (!deadband.isDouble() || !(deadband.toDouble() >= 0))
            fault(w + QStringLiteral(".deadband"), QStringLiteral("expected a number 0 or more"));
        else
            t->deadband = deadband.toDouble();
    }
    t->scaling.scale = number(w, o, QStringLiteral("scale"), 1);
    t->scaling.offset = number(w, o, QStringLiteral("offset"), 0);
    t->scaling.unit = text(w, o, QStringLiteral("unit"), QString());
    return m_faults->size() == before;
}

bool Reader::finishTag(const QString &w, TagConfig *t)
{
    bool ok = true;
    if (t->name.isEmpty()) {
        fault(w, QStringLiteral("a tag needs a name (in a tag file: a name column)"));
        ok = false;
    } else if (const QString why = topicLevelFault(t->name); !why.isEmpty()) {
        fault(w, QStringLiteral("name %1 is no topic level: it %2").arg(shownName(t->name), why));
        ok = false;
    }
    const veskor::TagRef ref = veskor::parseTag(t->tag);
    if (ref.area == 0 || ref.address < 0) {
        fault(w, QStringLiteral("tag %1 is no area name ID1x..ID23x followed by an address").arg(quoted(t->tag)));
        return false;
    }
    t->area = ref.area;
    t->address = ref.address;
    const qint64 bytes = veskor::byteLength(t->type, t->count);
    if (ok && (bytes <= 0 || qint64(t->address) + bytes > 65535)) {
        fault(w, QStringLiteral("tag %1 with %2 element(s) ends past byte 65535 of its area").arg(quoted(t->tag)).arg(t->count));
        ok = false;
    }
    t->bytes = int(bytes);
    if (t->type == 12 && t->deadband > 0) {
        fault(w, QStringLiteral("a deadband needs a numeric tag"));
        ok = false;
    }
    if (QString why; !veskortool::checkScaling(t->type, t->scaling, &why)) {
        fault(w, why);
        ok = false;
    }
    return ok;
}

} // namespace

int GatewayConfig::tagCount() const
{
    int n = 0;
    for (const ControllerConfig &c : controllers)
        n += c.tags.size();
    return n;
}

QByteArray clientIdOf(const MqttConfig &mqtt, const QString &controller)
{
    return (mqtt.clientId + QLatin1Char('-') + controller).toUtf8();
}

QByteArray topicOf(const MqttConfig &mqtt, const QString &controller, const QString &level)
{
    return (mqtt.prefix + QLatin1Char('/') + controller + QLatin1Char('/') + level).toUtf8();
}

namespace {

// The character of s at *at, and *at moved past it: true when the broker
// refuses it (see mqttTextFault), with its code point in *code.
bool refusedNext(const QString &s, int *at, uint *code)
{
    const QChar c = s.at((*at)++);
    if (c.isHighSurrogate() && *at < s.size() && s.at(*at).isLowSurrogate())
        *code = QChar::surrogateToUcs4(c, s.at((*at)++));
    else
        *code = c.unicode();
    return *code < 0x20 || (*code >= 0x7f && *code <= 0x9f) || QChar::isSurrogate(*code)
           || QChar::isNonCharacter(*code);
}

QString hexCode(uint code)
{
    return QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

} // namespace

QString mqttTextFault(const QString &s)
{
    uint code = 0;
    for (int i = 0; i < s.size();) {
        if (!refusedNext(s, &i, &code))
            continue;
        if (QChar::isSurrogate(code))
            return QStringLiteral("holds U+%1, half of a surrogate pair alone").arg(hexCode(code));
        if (QChar::isNonCharacter(code))
            return QStringLiteral("holds the noncharacter U+%1").arg(hexCode(code));
        return QStringLiteral("holds the control character U+%1").arg(hexCode(code));
    }
    return QString();
}

QString topicLevelFault(const QString &s)
{
    if (s.isEmpty())
        return QStringLiteral("is empty");
    if (s.startsWith(QLatin1Char('$')))
        return QStringLiteral("starts with '$' (the broker's own topics do)");
    for (const char c : {'/', '+', '#'})
        if (s.contains(QLatin1Char(c)))
            return QStringLiteral("holds '%1'").arg(QLatin1Char(c));
    return mqttTextFault(s);
}

QString shownName(const QString &s)
{
    // Built only as far as quoted() shows it: a name may be 70000 characters.
    QString out;
    for (int i = 0; i < s.size() && out.size() <= veskortool::kQuotedChars;) {
        const int from = i;
        uint code = 0;
        if (refusedNext(s, &i, &code))
            out += QStringLiteral("\\u") + hexCode(code);
        else
            out += s.midRef(from, i - from);
    }
    return quoted(out);
}

QVector<QPair<int, int>> writeOverlaps(const ControllerConfig &c)
{
    QVector<veskortool::ByteSpan> spans;
    for (const TagConfig &t : c.tags)
        spans.append({t.address, t.bytes, t.writable});
    return veskortool::writeOverlaps(spans);
}

QStringList writeOverlapWarnings(const GatewayConfig &config)
{
    auto bytes = [](const TagConfig &t) {
        return veskortool::spanText(t.name, t.tag, {t.address, t.bytes, t.writable});
    };
    QStringList lines;
    for (int i = 0; i < config.controllers.size(); ++i) {
        const ControllerConfig &c = config.controllers.at(i);
        for (const auto &[w, o] : writeOverlaps(c))
            lines << QStringLiteral("%1: controllers[%2] (%3): warning: a write to %4 also lands on %5, as the "
                                    "controller stores a write at its address in every area")
                         .arg(config.path).arg(i).arg(c.name, bytes(c.tags.at(w)), bytes(c.tags.at(o)));
    }
    return lines;
}

bool parseConfig(const QString &path, const QByteArray &text, GatewayConfig *out, QStringList *faults)
{
    *out = GatewayConfig();
    out->path = path;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
    if (pe.error != QJsonParseError::NoError) {
        faults->append(QStringLiteral("%1: line %2: %3").arg(path).arg(text.left(pe.offset).count('\n') + 1)
                           .arg(pe.errorString()));
        return false;
    }
    if (!doc.isObject()) {
        faults->append(QStringLiteral("%1: expected a JSON object { ... }").arg(path));
        return false;
    }
    // ${NAME} and ${NAME:-default} in strings come from the environment,
    // so that one file serves several sites or containers.
    QStringList unset;
    const QJsonObject top = expandVariables(doc.object(), QString(), environmentVariable, &unset).toObject();
    for (const QString &fault : qAsConst(unset))
        faults->append(QStringLiteral("%1: %2").arg(path, fault));
    const int before = faults->size();
    Reader(path, out, faults).read(top);
    return unset.isEmpty() && faults->size() == before;
}

bool loadConfig(const QString &path, GatewayConfig *out, QStringList *faults)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        faults->append(QStringLiteral("%1: %2").arg(path, f.errorString()));
        return false;
    }
    return parseConfig(path, f.readAll(), out, faults);
}

} // namespace veskorgw
