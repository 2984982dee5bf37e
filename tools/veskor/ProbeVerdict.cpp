// The probe's verdict in words: what each habit it found means for the
// driver. Pure.
#include "ProbeParts.h"

namespace veskortool {

using namespace probeparts;

namespace {

// The verdict when nothing came from the controller's address.
void verdictNoAnswer(const ProbeReport &r, QStringList *v)
{
    if (r.refused)
        *v << QStringLiteral("the port is closed (the host reported it unreachable): check the port "
                             "and that the controller's service runs; the driver reports 8 at once");
    else if (!r.scanned.isEmpty())
        *v << QStringLiteral("the port is open (no refusal came) but nothing answers device ids %1: %2"
                             "check the address, the port, the network and firewalls; the driver reports "
                             "8 after 2 s")
                  .arg(deviceListText(r.scanned),
                       r.scanned.size() >= 256 ? QString() : QStringLiteral("try --scan-devices 0-255, or "));
    else
        *v << QStringLiteral("no answer within the wait: check the address, the port, the network "
                             "and firewalls; the driver reports 8 after 2 s");
    if (!r.strangers.isEmpty())
        *v << QStringLiteral("datagrams came from other addresses only: is the controller behind "
                             "another address?");
}

// No area answered as this device id: what the scan found says it all.
void verdictScan(const ProbeReport &r, QStringList *v)
{
    QStringList found;
    for (const ProbeReport::DeviceCheck &c : r.checked)
        if (c.answered > 0)
            found << QString::number(c.id);
    if (!found.isEmpty())
        *v << QStringLiteral("answers device id %1, not %2: give --device %3; as device %2 every read "
                             "ends in 8 after 2 s")
                  .arg(found.join(QStringLiteral(", ")))
                  .arg(r.device)
                  .arg(found.first());
    else
        *v << QStringLiteral("the port is open and datagrams came during the scan of device ids %1, but "
                             "no device id answered a read of its own: check the address and the port")
                  .arg(deviceListText(r.scanned));
}

// "in N of M answers".
QString inAnswers(int times, int of)
{
    return QStringLiteral("in %1 of %2 answers").arg(times).arg(of);
}

void verdictEcho(const ProbeReport &r, QStringList *v)
{
    if (r.readAnswers == 0)
        return;
    if (r.echoesSequence)
        *v << QStringLiteral("echoes sequence %1: late answers are recognised")
                  .arg(r.sequenceCopied == r.readAnswers ? QStringLiteral("always")
                                                         : inAnswers(r.sequenceCopied, r.readAnswers));
    else
        *v << QStringLiteral("does not echo (the sequence copied %1): a late answer can be taken for the "
                             "next one; keep one request in flight")
                  .arg(r.sequenceCopied == 0 ? QStringLiteral("never") : inAnswers(r.sequenceCopied, r.readAnswers));
    if (r.deviceCopied < r.readAnswers)
        *v << QStringLiteral("does not echo the device id (bytes %1) in %2 of %3 answers: the driver "
                             "reports those reads as device errors (7)")
                  .arg(fieldBytes(veskor::kDeviceIdOffset, veskor::kDeviceIdChecked),
                       QString::number(r.readAnswers - r.deviceCopied), QString::number(r.readAnswers));
}

// Answers from other ports of the controller, and datagrams from elsewhere.
void verdictSources(const ProbeReport &r, quint16 port, QStringList *v)
{
    QStringList otherPorts;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        if (it.key() != port)
            otherPorts << QString::number(it.key());
    if (!otherPorts.isEmpty())
        *v << QStringLiteral("answers from port %1, not %2: the driver takes answers from any port of the "
                             "controller's address; a firewall between must let them through")
                  .arg(otherPorts.join(QStringLiteral(", ")))
                  .arg(port);
    if (!r.strangers.isEmpty())
        *v << QStringLiteral("datagrams from other addresses: the driver passes them over once the "
                             "controller has answered from its own");
}

void verdictOtherDevice(const ProbeReport &r, QStringList *v)
{
    const QString otherTimes = timesText(r.otherDeviceAnswered, r.otherDeviceAsked);
    switch (r.otherDevice) {
    case ProbeReport::DeviceSilent:
        *v << QStringLiteral("ignores other device ids (%1 reads as device %2, none answered): a wrong --device "
                             "looks like a dead controller (8)")
                  .arg(r.otherDeviceAsked).arg(r.otherDeviceId);
        break;
    case ProbeReport::DeviceSame:
        *v << QStringLiteral("answers any device id (as device %1: %2): a wrong device id still reads; it cannot "
                             "be found out from the answers")
                  .arg(r.otherDeviceId).arg(otherTimes);
        break;
    case ProbeReport::DeviceDifferent:
        *v << QStringLiteral("answers another device id differently (as device %1: %2): a wrong device id shows "
                             "as a device error (7) or a short answer (4)")
                  .arg(r.otherDeviceId).arg(otherTimes);
        break;
    case ProbeReport::DeviceNotAsked:
        break;
    }
}

// Habits of areas, each seen in every read of it; a loss or a short
// answer now and then is a rate (verdictRates).
void verdictAreas(const ProbeReport &r, bool ownAnswered, QStringList *v)
{
    QStringList silent, errors, cut;
    int silentReads = 0;
    for (const ProbeReport::Area &a : r.areas) {
        if (a.state == ProbeReport::Area::Silent && ownAnswered) {
            silent << a.name;
            silentReads = std::max(silentReads, a.asked);
        } else if (a.state == ProbeReport::Area::Error) {
            errors << QStringLiteral("%1 (%2)").arg(a.name, timesText(a.errors, a.asked));
        } else if (a.state == ProbeReport::Area::Short) {
            cut << QStringLiteral("%1 (%2)").arg(a.name, timesText(a.shorts, a.asked));
        }
    }
    if (!silent.isEmpty())
        *v << QStringLiteral("no answer for %1 in any of %2 reads each: reads there end in 8 after 2 s")
                  .arg(silent.join(QLatin1Char(' ')))
                  .arg(silentReads);
    if (!errors.isEmpty())
        *v << QStringLiteral("error answers for %1: reads there end in 7").arg(errors.join(QLatin1Char(' ')));
    if (!cut.isEmpty())
        *v << QStringLiteral("only answers shorter than a header for %1: reads there end in 4")
                  .arg(cut.join(QLatin1Char(' ')));
}

// Losses, short and error answers, duplicates and a flood.
void verdictRates(const ProbeReport &r, QStringList *v)
{
    if (r.rateLost > 0)
        *v << QStringLiteral("lost %1 of %2 reads (%3): each costs the driver a 2 s wait and ends in 8")
                  .arg(r.rateLost).arg(r.rateReads).arg(percent(r.rateLost, r.rateReads));
    if (r.rateShort > 0)
        *v << QStringLiteral("%1 of %2 reads answered shorter than a header (%3): those reads end in 4")
                  .arg(r.rateShort).arg(r.rateReads).arg(percent(r.rateShort, r.rateReads));
    if (r.rateError > 0)
        *v << QStringLiteral("%1 of %2 reads of areas with an image got an error answer (%3): those reads end in 7")
                  .arg(r.rateError).arg(r.rateReads).arg(percent(r.rateError, r.rateReads));
    if (r.duplicates > 0)
        *v << (r.echoesSequence
                   ? QStringLiteral("sends duplicates (%1): recognised by the sequence echo").arg(r.duplicates)
                   : QStringLiteral("sends duplicates (%1) and does not echo: a copy can be taken for "
                                    "the next answer").arg(r.duplicates));
    if (r.countedOnly > 0)
        *v << QStringLiteral("sent more than %1 datagrams after a request (%2 counted only): a flood; "
                             "what is judged above is the first %1 after each request")
                  .arg(kProbeKeepPerRequest).arg(r.countedOnly);
}

void verdictWrite(const ProbeReport &r, QStringList *v)
{
    const QString writeTimes = QStringLiteral("%1 of %2 writes").arg(r.writesCopied).arg(r.writes);
    if (r.write == ProbeReport::WriteCopiesHeader)
        *v << QStringLiteral("copies the write header (%1): late write answers are recognised")
                  .arg(r.writesCopied == r.writes ? QStringLiteral("always") : writeTimes);
    else if (r.write == ProbeReport::WriteOther)
        *v << QStringLiteral("write answers do not copy the header (%1 answered): any datagram counts as the "
                             "write's answer")
                  .arg(timesText(r.writesAnswered, r.writes));
    else if (r.write == ProbeReport::WriteSilent)
        *v << QStringLiteral("no answer to %1 writes: writes end in 8").arg(r.writes);
}

} // namespace

// The verdict in words: what each habit means for the driver.
void probeparts::writeVerdict(const ProbeSettings &s, ProbeReport *r)
{
    QStringList *v = &r->verdict;
    if (!r->answered) {
        verdictNoAnswer(*r, v);
        return;
    }
    bool ownAnswered = false;
    for (const ProbeReport::Area &a : r->areas)
        ownAnswered = ownAnswered || (a.state != ProbeReport::Area::Silent && a.state != ProbeReport::Area::NotAsked);
    if (!ownAnswered && !r->scanned.isEmpty())
        verdictScan(*r, v);
    verdictEcho(*r, v);
    verdictSources(*r, s.port, v);
    verdictOtherDevice(*r, v);
    verdictAreas(*r, ownAnswered, v);
    verdictRates(*r, v);
    verdictWrite(*r, v);
}

} // namespace veskortool
