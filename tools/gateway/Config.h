// The gateway's configuration file: JSON, read once at start. Every fault is
// reported on a line of its own ("FILE: controllers[2].tags[5]: unknown type
// \"int61\""), and nothing starts while there is one.
#ifndef VESKOR_GATEWAY_CONFIG_H
#define VESKOR_GATEWAY_CONFIG_H

#include "common/Scaling.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

namespace veskorgw {

struct TagConfig {
    QString name;          // the topic's last level and the metric's name label
    QString tag;           // "ID4x10"
    int type = 0;          // DataType code, 1..12
    int count = 1;         // elements; a string's field size in bytes
    bool writable = false; // <prefix>/<controller>/<name>/set is accepted
    double deadband = 0;   // numeric scalars: publish when the change exceeds it
    veskortool::Scaling scaling;   // the value is raw x scale + offset, in unit
    // Filled in by the parser from tag and type.
    int area = 0;
    int address = 0;
    int bytes = 0;         // bytes the tag takes in its area
};

struct ControllerConfig {
    QString name;
    QString connect;       // "ADDRESS:PORT" as the plug-in takes it (resolved)
    QString connectText;   // as written in the file
    quint32 device = 1;
    int periodMs = 1000;
    bool group = true;     // one read per used area; false: one read per tag
    int pauseMs = 0;       // between two requests of a cycle
    int offlineAfter = 3;  // failed cycles before $state goes offline and tags bad
    int publishEveryMs = 0;      // heartbeat: republish unchanged values; 0: never
    int writeIntervalMs = 200;   // per tag: sets closer than this are refused
    QVector<TagConfig> tags;
};

struct MqttConfig {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString prefix = QStringLiteral("veskor");
    QString clientId = QStringLiteral("veskor-gateway");  // "-<controller>" is added
    int qos = 0;           // values; $state and write results go with QoS 1
    int keepaliveS = 30;
    QString username;
    QByteArray password;   // read from password_file
    QString caFile, certFile, keyFile;
    int maxUnacked = 1000;  // QoS 1, 2: values are held while this many messages wait for an acknowledgement
    // Tag values expire at the broker this long after they were sent (MQTT 5
    // message expiry), so a gateway that vanished leaves none behind; 0: never.
    int retainExpiryS = 0;
    // After the start and each reload, retained topics under the prefix that
    // the configuration no longer names are removed (RetainedClean.h).
    bool cleanRetained = false;
    int reconnectMinS = 1, reconnectMaxS = 5;   // backoff 1, 4, 5, 5 ... s: back within 5 s of the broker
};

struct GatewayConfig {
    QString path;
    MqttConfig mqtt;
    QString metrics = QStringLiteral("127.0.0.1:9463"); // empty: no endpoint
    QVector<ControllerConfig> controllers;

    int tagCount() const;
};

// Reads and checks the file. False with one line per fault in *faults.
bool loadConfig(const QString &path, GatewayConfig *out, QStringList *faults);

// The same on text already read (path names it in the fault lines).
bool parseConfig(const QString &path, const QByteArray &text, GatewayConfig *out, QStringList *faults);

// MQTT carries a topic and a client id as UTF-8 of at most this many bytes.
constexpr int kMqttMaxBytes = 65535;

// What the broker sees of a controller: the client id its connection takes
// and the topic of one of its levels ("<prefix>/<controller>/<level>"), as
// the bytes that go on the wire.
QByteArray clientIdOf(const MqttConfig &mqtt, const QString &controller);
QByteArray topicOf(const MqttConfig &mqtt, const QString &controller, const QString &level);

// Why the broker would refuse s in a topic or a client id: a control
// character (U+0000..U+001F, U+007F..U+009F), half a surrogate pair alone,
// or a noncharacter (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF). Empty when it takes it.
QString mqttTextFault(const QString &s);

// Why s cannot be one level of the gateway's topics: empty, '/', '+', '#',
// a leading '$', or an mqttTextFault. Empty when it can.
QString topicLevelFault(const QString &s);

// s in quotes for a fault line, cut when long, with the characters
// mqttTextFault names written as \uXXXX so that the line stays one line.
QString shownName(const QString &s);

// A write names no area: the controller stores it at its address in every
// area. The pairs (writable tag, other tag) of a controller whose bytes
// meet at some address, in the order of the tags.
QVector<QPair<int, int>> writeOverlaps(const ControllerConfig &c);
// One warning line per such pair of every controller.
QStringList writeOverlapWarnings(const GatewayConfig &config);

} // namespace veskorgw

#endif
