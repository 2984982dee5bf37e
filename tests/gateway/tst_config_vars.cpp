// ${NAME} and ${NAME:-default} in the gateway configuration's strings, and
// the ways of saying "no metrics endpoint".
#include "Config.h"
#include "ConfigVars.h"

#include <QtTest>

using namespace veskorgw;

using Vars = QMap<QString, QString>;
Q_DECLARE_METATYPE(Vars)

class tst_ConfigVars : public QObject
{
    Q_OBJECT

private slots:
    void expand_data();
    void expand();
    void inFile_data();
    void inFile();
};

void tst_ConfigVars::expand_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Vars>("vars");
    QTest::addColumn<QString>("expanded");
    QTest::addColumn<QString>("fault");   // empty: none

    const Vars site{{"SITE", "hall2"}, {"EMPTY", ""}, {"_X9", "x"}};
    QTest::newRow("no variable") << "press1" << site << "press1" << "";
    QTest::newRow("whole") << "${SITE}" << site << "hall2" << "";
    QTest::newRow("inside and twice") << "plant/${SITE}/${SITE}" << site << "plant/hall2/hall2" << "";
    QTest::newRow("underscore and digit") << "${_X9}" << site << "x" << "";
    QTest::newRow("set to empty") << "a${EMPTY}b" << site << "ab" << "";
    QTest::newRow("default unused") << "${SITE:-hall1}" << site << "hall2" << "";
    QTest::newRow("default for unset") << "${PORT:-1883}" << site << "1883" << "";
    QTest::newRow("default for empty") << "${EMPTY:-none}" << site << "none" << "";
    QTest::newRow("empty default") << "[${PORT:-}]" << site << "[]" << "";
    QTest::newRow("default holds :-") << "${PORT:-a:-b}" << site << "a:-b" << "";
    QTest::newRow("value is not expanded again") << "${V}" << Vars{{"V", "${SITE}"}} << "${SITE}" << "";
    QTest::newRow("escaped") << "$${SITE}" << site << "${SITE}" << "";
    QTest::newRow("lone dollars stay") << "$a $ $$ $SITE" << site << "$a $ $$ $SITE" << "";
    QTest::newRow("unset") << "x${PORT}" << site << ""
                           << "${PORT} is not set (give a default with ${PORT:-default})";
    QTest::newRow("unclosed") << "${SITE" << site << "" << "${ without its closing }";
    QTest::newRow("empty name") << "${}" << site << ""
                                << "${} names no variable (letters, digits and _, not starting with a digit)";
    QTest::newRow("digit first") << "${1A:-x}" << site << ""
                                 << "${1A:-x} names no variable (letters, digits and _, not starting with a digit)";
    QTest::newRow("shell form not taken") << "${SITE-x}" << site << ""
                                          << "${SITE-x} names no variable (letters, digits and _, not starting with a digit)";
}

void tst_ConfigVars::expand()
{
    QFETCH(QString, text);
    QFETCH(Vars, vars);
    QFETCH(QString, expanded);
    QFETCH(QString, fault);

    const VariableLookup lookup = [&vars](const QString &name) -> std::optional<QString> {
        if (!vars.contains(name))
            return std::nullopt;
        return vars.value(name);
    };
    QString said;
    QCOMPARE(expandVariables(text, lookup, &said), expanded);
    QCOMPARE(said, fault);
}

// A whole file through parseConfig, with the process environment.
void tst_ConfigVars::inFile_data()
{
    QTest::addColumn<QString>("mqttHost");     // the mqtt object's "host"
    QTest::addColumn<QString>("metrics");      // the file's "metrics", as JSON
    QTest::addColumn<QString>("wantHost");
    QTest::addColumn<QString>("wantMetrics");
    QTest::addColumn<QStringList>("faults");

    QTest::newRow("variable and default") << "${VESKOR_TEST_BROKER}" << "\"127.0.0.1:${VESKOR_TEST_UNSET:-9500}\""
                                          << "broker.hall2" << "127.0.0.1:9500" << QStringList();
    QTest::newRow("metrics off") << "h" << "\"off\"" << "h" << "" << QStringList();
    QTest::newRow("metrics false") << "h" << "false" << "h" << "" << QStringList();
    QTest::newRow("metrics from a variable") << "h" << "\"${VESKOR_TEST_METRICS}\"" << "h" << "" << QStringList();
    QTest::newRow("unset names its key") << "${VESKOR_TEST_UNSET}" << "false" << "" << ""
        << QStringList{"gw.json: mqtt.host: ${VESKOR_TEST_UNSET} is not set (give a default with "
                       "${VESKOR_TEST_UNSET:-default})"};
    QTest::newRow("metrics true refused") << "h" << "true" << "" << ""
        << QStringList{"gw.json: metrics: expected \"ADDRESS:PORT\", \"off\" or false"};
}

void tst_ConfigVars::inFile()
{
    QFETCH(QString, mqttHost);
    QFETCH(QString, metrics);
    QFETCH(QString, wantHost);
    QFETCH(QString, wantMetrics);
    QFETCH(QStringList, faults);

    qputenv("VESKOR_TEST_BROKER", "broker.hall2");
    qputenv("VESKOR_TEST_METRICS", "off");
    qunsetenv("VESKOR_TEST_UNSET");
    const QString text = QStringLiteral(R"({"mqtt": {"host": "%1", "prefix": "plant/${VESKOR_TEST_UNSET:-hall1}"},
        "metrics": %2,
        "controllers": [{"name": "press1", "connect": "127.0.0.1:50200",
                         "tags": [{"name": "t", "tag": "ID4x0", "type": "int16"}]}]})").arg(mqttHost, metrics);
    GatewayConfig config;
    QStringList said;
    QCOMPARE(parseConfig(QStringLiteral("gw.json"), text.toUtf8(), &config, &said), faults.isEmpty());
    QCOMPARE(said, faults);
    if (!faults.isEmpty())
        return;
    QCOMPARE(config.mqtt.host, wantHost);
    QCOMPARE(config.mqtt.prefix, QStringLiteral("plant/hall1"));
    QCOMPARE(config.metrics, wantMetrics);
}

QTEST_GUILESS_MAIN(tst_ConfigVars)
#include "tst_config_vars.moc"
