// The probe's report as plain text, a label and its line. Pure.
#include "ProbeParts.h"

namespace veskortool {

using namespace probeparts;

namespace {

// The plain report, a line at a time: a label in 12 columns, then the text.
class ReportLines
{
public:
    void add(const QString &label, const QString &text)
    {
        m_text += label.leftJustified(12, QLatin1Char(' ')) + text + QLatin1Char('\n');
    }
    QString text() const { return m_text; }

private:
    QString m_text;
};

QString controllerText(const ProbeReport &r)
{
    return QStringLiteral("%1, device %2: %3 %4 in %5 s, each area and check up to %6 %7")
        .arg(r.controller)
        .arg(r.device)
        .arg(r.requests)
        .arg(r.requests == 1 ? QStringLiteral("request") : QStringLiteral("requests"))
        .arg(QString::number(r.elapsedMs / 1000.0, 'f', 1))
        .arg(r.repeat)
        .arg(r.repeat == 1 ? QStringLiteral("time") : QStringLiteral("times"));
}

QString readsText(const ProbeReport &r)
{
    QString t = QStringLiteral("%1: %2 of %3 answered in time, lost %4")
                    .arg(r.rttArea).arg(r.onTime).arg(r.reads).arg(r.lost);
    if (r.shortAnswers > 0 || r.errorAnswers > 0)
        t += QStringLiteral(" (of the answers %1 short, %2 error answers)").arg(r.shortAnswers).arg(r.errorAnswers);
    if (r.onTime > 0)
        t += QStringLiteral("; round trip min %1, median %2, p99 %3, max %4")
                 .arg(ms(r.rttMinMs), ms(r.rttMedianMs), ms(r.rttP99Ms), ms(r.rttMaxMs));
    return t;
}

// The areas first to last, all of one habit, with how often their reads
// showed it.
QString areaRunText(const ProbeReport &r, int first, int last)
{
    const ProbeReport::Area &a = r.areas[first];
    const QString names = first == last ? a.name : a.name + QStringLiteral("..") + r.areas[last].name;
    int times = 0, asked = 0;
    for (int k = first; k <= last; ++k) {
        times += r.areas[k].habitTimes();
        asked += r.areas[k].asked;
    }
    const QString often = timesText(times, asked);
    switch (a.state) {
    case ProbeReport::Area::Image:
        return QStringLiteral("%1 %2 bytes %3").arg(names).arg(a.length).arg(often);
    case ProbeReport::Area::Error:
        return QStringLiteral("%1 error answer (0x%2) %3").arg(names, hex(a.firstByte, 2), often);
    case ProbeReport::Area::Silent:
        return QStringLiteral("%1 never answer (%2 reads)").arg(names).arg(asked);
    case ProbeReport::Area::Short:
        return QStringLiteral("%1 short answer (%2 bytes) %3").arg(names).arg(a.length).arg(often);
    case ProbeReport::Area::NotAsked:
        break;
    }
    return QStringLiteral("%1 not asked").arg(names);
}

// Areas: runs of the same habit are written once.
QString areasText(const ProbeReport &r)
{
    QStringList parts;
    int images = 0;
    for (int i = 0; i < r.areas.size(); ++i) {
        const ProbeReport::Area &a = r.areas[i];
        const auto sameAs = [&a](const ProbeReport::Area &b) {
            return b.state == a.state && b.length == a.length && b.firstByte == a.firstByte;
        };
        int j = i;
        while (j + 1 < r.areas.size() && sameAs(r.areas[j + 1]))
            ++j;
        parts << areaRunText(r, i, j);
        if (a.state == ProbeReport::Area::Image)
            images += j - i + 1;
        i = j;
    }
    return QStringLiteral("%1 of %2 answer with an image: %3")
        .arg(images).arg(r.areas.size()).arg(parts.join(QStringLiteral(", ")));
}

QString ratesText(const ProbeReport &r)
{
    return QStringLiteral("of %1 reads of areas with an image: lost %2 (%3), short answers %4 (%5), error answers %6 (%7)")
        .arg(r.rateReads)
        .arg(r.rateLost).arg(percent(r.rateLost, r.rateReads))
        .arg(r.rateShort).arg(percent(r.rateShort, r.rateReads))
        .arg(r.rateError).arg(percent(r.rateError, r.rateReads));
}

void addEchoLines(const ProbeReport &r, ReportLines *out)
{
    out->add(QStringLiteral("echo"), QStringLiteral("of %1 read answers: sequence (bytes %2) copied in %3, "
                                                    "area code (%4) in %5, device id (%6) in %7")
                                         .arg(QString::number(r.readAnswers),
                                              fieldBytes(veskor::kSequenceOffset, veskor::kSequenceSize),
                                              QString::number(r.sequenceCopied),
                                              fieldBytes(veskor::kAreaCodeOffset, veskor::kAreaCodeSize),
                                              QString::number(r.areaCopied),
                                              fieldBytes(veskor::kDeviceIdOffset, veskor::kDeviceIdSize),
                                              QString::number(r.deviceCopied)));
    out->add(QString(), QStringLiteral("header bytes copied: %1; the same as sent but never varied: %2; not copied: %3")
                            .arg(byteRanges(r.headerCopies, 'c'), byteRanges(r.headerCopies, '='),
                                 byteRanges(r.headerCopies, 'x')));
}

// What the controller answered: the round trips, the areas, the rates, the
// echoes and the ports it answered from.
void addAnswerLines(const ProbeReport &r, ReportLines *out)
{
    if (r.reads > 0)
        out->add(QStringLiteral("reads"), readsText(r));
    out->add(QStringLiteral("areas"), areasText(r));
    if (r.rateReads > 0)
        out->add(QStringLiteral("rates"), ratesText(r));
    if (r.readAnswers > 0)
        addEchoLines(r, out);
    QStringList ports;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        ports << QStringLiteral("port %1 (%2)").arg(it.key()).arg(it.value());
    out->add(QStringLiteral("sources"), QStringLiteral("the controller's address, %1").arg(ports.join(QStringLiteral(", "))));
}

// Datagrams from other addresses, and from senders past those told apart.
void addOtherSenderLines(const ProbeReport &r, ReportLines *out)
{
    if (!r.strangers.isEmpty()) {
        QStringList list;
        for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
            list << QStringLiteral("%1 (%2)").arg(it.key()).arg(it.value());
        out->add(r.answered ? QString() : QStringLiteral("sources"),
                 QStringLiteral("other addresses: %1").arg(list.join(QStringLiteral(", "))));
    }
    if (r.furtherSenders > 0)
        out->add(r.answered || !r.strangers.isEmpty() ? QString() : QStringLiteral("sources"),
                 QStringLiteral("%1 datagrams from more senders than the %2 told apart")
                     .arg(r.furtherSenders).arg(kProbeSenders));
}

void addOtherDeviceLine(const ProbeReport &r, ReportLines *out)
{
    if (r.otherDevice == ProbeReport::DeviceNotAsked)
        return;
    const QString label = QStringLiteral("device %1").arg(r.otherDeviceId);
    if (r.otherDevice == ProbeReport::DeviceSilent) {
        out->add(label, QStringLiteral("no answer (%1 reads)").arg(r.otherDeviceAsked));
        return;
    }
    out->add(label, QStringLiteral("%1, %2 (%3)")
                        .arg(r.otherDevice == ProbeReport::DeviceSame
                                 ? QStringLiteral("answered as for device %1").arg(r.device)
                                 : QStringLiteral("a different answer"),
                             timesText(r.otherDeviceAnswered, r.otherDeviceAsked), r.otherDeviceDetail));
}

void addScanLine(const ProbeReport &r, ReportLines *out)
{
    if (r.scanned.isEmpty())
        return;
    QStringList checks;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        checks << QStringLiteral("device %1 answered %2").arg(c.id).arg(timesText(c.answered, c.asked));
    out->add(QStringLiteral("scan"), QStringLiteral("device ids %1: %2")
                                         .arg(deviceListText(r.scanned),
                                              checks.isEmpty() ? QStringLiteral("none answered")
                                                               : checks.join(QStringLiteral(", "))));
}

// The write test's line; none when it was not asked for.
QString writeText(const ProbeReport &r)
{
    switch (r.write) {
    case ProbeReport::WriteNotAsked:
        break;
    case ProbeReport::WriteSkipped:
        return QStringLiteral("%1: not written: %2").arg(r.writeTag, r.writeDetail);
    case ProbeReport::WriteSilent:
        return QStringLiteral("%1: no answer (%2 writes)").arg(r.writeTag).arg(r.writes);
    case ProbeReport::WriteCopiesHeader:
        return QStringLiteral("%1: the answer copies the %2-byte header%3, %4")
            .arg(r.writeTag, QString::number(veskor::kWriteHeaderSize),
                 r.writeDetail.isEmpty() ? QString() : QLatin1Char(' ') + r.writeDetail,
                 QStringLiteral("%1 (%2 writes)").arg(timesText(r.writesCopied, r.writes)).arg(r.writes));
    case ProbeReport::WriteOther:
        return QStringLiteral("%1: the answer does not copy the header, answered %2: %3")
            .arg(r.writeTag, timesText(r.writesAnswered, r.writes), r.writeDetail);
    }
    return QString();
}

QString extraText(const ProbeReport &r)
{
    return QStringLiteral("duplicates %1, late answers %2, unexplained %3%4")
        .arg(r.duplicates).arg(r.late).arg(r.unexplained)
        .arg(r.countedOnly > 0 ? QStringLiteral(", counted only %1").arg(r.countedOnly) : QString());
}

} // namespace

QString probeText(const ProbeReport &r)
{
    ReportLines out;
    out.add(QStringLiteral("controller"), controllerText(r));
    if (r.answered)
        addAnswerLines(r, &out);
    else
        out.add(QStringLiteral("answers"), r.refused ? QStringLiteral("none: port closed") : QStringLiteral("none"));
    addOtherSenderLines(r, &out);
    addOtherDeviceLine(r, &out);
    addScanLine(r, &out);
    if (r.write != ProbeReport::WriteNotAsked)
        out.add(QStringLiteral("write"), writeText(r));
    if (r.answered)
        out.add(QStringLiteral("extra"), extraText(r));
    if (!r.stopped.isEmpty())
        out.add(QStringLiteral("stopped"), r.stopped);
    for (int i = 0; i < r.verdict.size(); ++i)
        out.add(i == 0 ? QStringLiteral("verdict") : QString(), r.verdict[i]);
    return out.text();
}
} // namespace veskortool
