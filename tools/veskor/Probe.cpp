#include "Probe.h"

#include "Tags.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace veskortool {

namespace {


quint16 sequenceOf(const QByteArray &b)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(b.constData()) + 4);
}

quint32 be32(const QByteArray &b, int at)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

quint32 le32(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(b.constData()) + at);
}

bool isRead(const ProbeRequest &r)
{
    return r.phase != ProbeRequest::WriteTest;
}

// How long a datagram was, kept whole or cut.
int lengthOf(const ProbeDatagram &d)
{
    return d.bytes.size() + d.cut;
}

bool sameDatagram(const ProbeDatagram &a, const ProbeDatagram &b)
{
    return a.bytes == b.bytes && a.cut == b.cut && a.digest == b.digest;
}

// Areas by number: ID1x, ID2x, ... ID23x (sorted once).
const QVector<veskor::AreaEntry> &areasInOrder()
{
    static const QVector<veskor::AreaEntry> areas = [] {
        int n = 0;
        const veskor::AreaEntry *table = veskor::areaTable(&n);
        QVector<veskor::AreaEntry> sorted(table, table + n);
        std::sort(sorted.begin(), sorted.end(), [](const veskor::AreaEntry &a, const veskor::AreaEntry &b) {
            return QByteArray(a.name).mid(2).chopped(1).toInt() < QByteArray(b.name).mid(2).chopped(1).toInt();
        });
        return sorted;
    }();
    return areas;
}

QString areaName(quint32 code)
{
    for (const veskor::AreaEntry &a : areasInOrder())
        if (a.code == code)
            return QString::fromLatin1(a.name);
    return QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

QString ms(double v)
{
    return QString::number(v, 'f', 3) + QStringLiteral(" ms");
}

// "4-5 8-15" for the bytes where `copies` holds `what`; "none" when none.
QString byteRanges(const QByteArray &copies, char what)
{
    QStringList parts;
    for (int i = 0; i < copies.size(); ++i) {
        if (copies.at(i) != what)
            continue;
        int j = i;
        while (j + 1 < copies.size() && copies.at(j + 1) == what)
            ++j;
        parts << (i == j ? QString::number(i) : QStringLiteral("%1-%2").arg(i).arg(j));
        i = j;
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1Char(' '));
}

QString shortHex(const QByteArray &b, int length)
{
    QString s = QString::fromLatin1(b.left(24).toHex());
    if (length > 24)
        s += QStringLiteral("... (%1 bytes)").arg(length);
    return s;
}

} // namespace

QVector<quint32> probeAreaCodes()
{
    QVector<quint32> codes;
    for (const veskor::AreaEntry &a : areasInOrder())
        codes << a.code;
    return codes;
}

int probeMaxRequests(const ProbeSettings &s)
{
    return int(areasInOrder().size()) + s.count + 1 + (s.writeTag.isEmpty() ? 0 : 1);
}

qint64 probeMaxMs(const ProbeSettings &s)
{
    // Every request takes in what came before it and listens on after an
    // answer, briefly both, and waits at most the wait; a last listen for
    // late answers takes at most one wait more.
    return qint64(probeMaxRequests(s)) * (s.waitMs + 2 * kProbeSettleMs) + s.waitMs;
}

void keepBytes(const char *bytes, int size, ProbeDatagram *d)
{
    d->bytes = QByteArray(bytes, std::min(size, kProbeKeepBytes));
    d->cut = size - d->bytes.size();
    d->digest = 0;
    if (d->cut > 0) {
        const QByteArray sha = QCryptographicHash::hash(QByteArray::fromRawData(bytes, size),
                                                        QCryptographicHash::Sha1);
        d->digest = qFromLittleEndian<quint64>(reinterpret_cast<const uchar *>(sha.constData()));
    }
}

ProbeReport judgeProbe(const ProbeLog &log)
{
    const ProbeSettings &s = log.settings;
    const QVector<ProbeRequest> &req = log.requests;
    const QVector<ProbeDatagram> &dg = log.datagrams;
    ProbeReport r;
    r.controller = QStringLiteral("%1:%2").arg(s.address.toString()).arg(s.port);
    r.device = s.device;
    r.requests = req.size();
    r.refused = log.refused;
    r.stopped = log.stopped;
    qint64 lastUs = 0;
    for (const ProbeRequest &q : req)
        lastUs = std::max(lastUs, q.sentUs);
    for (const ProbeDatagram &d : dg)
        lastUs = std::max(lastUs, d.atUs);
    lastUs = std::max(lastUs, log.countedLastUs);
    r.elapsedMs = lastUs / 1000;

    // The controller's datagrams, and the others; those only counted too.
    const auto fromController = [&s](const QHostAddress &from) {
        return QHostAddress(from.toIPv4Address()) == s.address;
    };
    const auto tally = [&](const QHostAddress &from, quint16 port, int n) {
        if (fromController(from))
            r.ports[port] += n;
        else
            r.strangers[QStringLiteral("%1:%2").arg(from.toString()).arg(port)] += n;
    };
    QVector<int> own;
    for (int i = 0; i < dg.size(); ++i) {
        const ProbeDatagram &d = dg[i];
        if (fromController(d.from))
            own << i;
        tally(d.from, d.fromPort, 1);
    }
    for (const ProbeSender &c : log.counted) {
        tally(c.from, c.fromPort, c.datagrams);
        if (fromController(c.from))
            r.countedOnly += c.datagrams;
    }
    r.furtherSenders = log.countedElsewhere;
    r.answered = !own.isEmpty() || r.countedOnly > 0;

    // Does the controller echo the sequence? Every read carries its own.
    QMap<quint16, int> readBySequence;
    for (int k = 0; k < req.size(); ++k)
        if (isRead(req[k]))
            readBySequence.insert(sequenceOf(req[k].bytes), k);
    const auto afterRead = [&](const ProbeDatagram &d) { return d.after >= 0 && isRead(req[d.after]); };
    int readDatagrams = 0, carrySequence = 0;
    for (int i : own) {
        const ProbeDatagram &d = dg[i];
        if (!afterRead(d) || lengthOf(d) < 6)
            continue;
        ++readDatagrams;
        if (readBySequence.contains(sequenceOf(d.bytes)))
            ++carrySequence;
    }
    // Coincidences aside: a counter of its own may meet one of ours now and then.
    r.echoesSequence = readDatagrams > 0 && carrySequence * 10 >= readDatagrams * 9;

    // Without the sequence, the area code and the device id still tell some
    // late answers apart, when the controller copies them: judged on the
    // first datagram after each read.
    int firstAnswers = 0, areaEchoes = 0, deviceEchoes = 0;
    for (int i = 0, k = -1; i < own.size(); ++i) {
        const ProbeDatagram &d = dg[own[i]];
        if (d.after == k || !afterRead(d) || lengthOf(d) < 16)
            continue;
        k = d.after;
        ++firstAnswers;
        areaEchoes += d.bytes.mid(8, 4) == req[k].bytes.mid(8, 4);
        deviceEchoes += d.bytes.mid(12, 4) == req[k].bytes.mid(12, 4);
    }
    const bool echoesArea = firstAnswers > 0 && areaEchoes * 10 >= firstAnswers * 9;
    const bool echoesDevice = firstAnswers > 0 && deviceEchoes * 10 >= firstAnswers * 9;
    const auto couldAnswer = [&](const QByteArray &d, int k) {
        if (!isRead(req[k]) || d.size() < 16)
            return true;
        return !(echoesArea && d.mid(8, 4) != req[k].bytes.mid(8, 4))
            && !(echoesDevice && d.mid(12, 4) != req[k].bytes.mid(12, 4));
    };

    // Which datagram answers which request: by the sequence it carries when
    // the controller echoes it, else the first to come after the request
    // that could be its answer.
    QVector<int> answerOf(req.size(), -1);
    QVector<bool> lateOf(req.size(), false);
    for (int i : own) {
        const ProbeDatagram &d = dg[i];
        int k = d.after;
        // A datagram too short to carry a sequence cannot contradict the
        // echo: it is judged by its time, as the driver judges it.
        if (r.echoesSequence && afterRead(d) && lengthOf(d) >= 6) {
            k = readBySequence.value(sequenceOf(d.bytes), -1);
            if (k > d.after)
                k = -1;   // the sequence of a read not sent yet: a coincidence, no answer
        } else if (k >= 0 && answerOf[k] < 0 && (d.atUs > req[k].deadlineUs || !couldAnswer(d.bytes, k))) {
            k = -1;   // after the wait, or not for this request: whose answer it is cannot be told
        }
        if (k < 0) {
            ++r.unexplained;
            continue;
        }
        if (answerOf[k] < 0) {
            answerOf[k] = i;
            lateOf[k] = d.atUs > req[k].deadlineUs;
            r.late += lateOf[k] ? 1 : 0;
        } else if (sameDatagram(dg[answerOf[k]], d)) {
            ++r.duplicates;
        } else {
            ++r.unexplained;
        }
    }

    // Round trips.
    QVector<double> rtts;
    for (int k = 0; k < req.size(); ++k) {
        if (req[k].phase != ProbeRequest::RoundTrip)
            continue;
        if (r.rttArea.isEmpty())
            r.rttArea = areaName(be32(req[k].bytes, 8));
        ++r.reads;
        if (answerOf[k] >= 0 && !lateOf[k])
            rtts << double(dg[answerOf[k]].atUs - req[k].sentUs) / 1000.0;
    }
    std::sort(rtts.begin(), rtts.end());
    r.onTime = rtts.size();
    r.lost = r.reads - r.onTime;
    if (!rtts.isEmpty()) {
        r.rttMinMs = rtts.first();
        r.rttMedianMs = rtts.size() % 2 ? rtts[rtts.size() / 2]
                                         : (rtts[rtts.size() / 2 - 1] + rtts[rtts.size() / 2]) / 2;
        r.rttP99Ms = rtts[std::max(0, int(std::ceil(0.99 * rtts.size())) - 1)];
    }

    // Areas.
    QMap<quint32, int> areaAnswer;   // area code -> a request of it that got an answer
    for (const veskor::AreaEntry &a : areasInOrder()) {
        ProbeReport::Area area;
        area.name = QString::fromLatin1(a.name);
        for (int k = 0; k < req.size(); ++k) {
            if (req[k].phase != ProbeRequest::Area || be32(req[k].bytes, 8) != a.code)
                continue;
            if (answerOf[k] < 0) {
                area.state = ProbeReport::Area::Silent;
                continue;
            }
            const QByteArray &b = dg[answerOf[k]].bytes;
            const int length = lengthOf(dg[answerOf[k]]);
            if (length < 16) {
                area.state = ProbeReport::Area::Short;
                area.length = length;
            } else if (b.at(0) == 'M') {
                area.state = ProbeReport::Area::Image;
                area.length = length - 16;
            } else {
                area.state = ProbeReport::Area::Error;
                area.firstByte = uchar(b.at(0));
            }
            areaAnswer.insert(a.code, k);
        }
        r.areas << area;
    }

    // Echoes of the read header, byte by byte.
    QByteArray equal(16, 1), varied(16, 0);
    const QByteArray *first = nullptr;
    for (int k = 0; k < req.size(); ++k) {
        if (!isRead(req[k]) || answerOf[k] < 0 || lengthOf(dg[answerOf[k]]) < 16)
            continue;
        const QByteArray &q = req[k].bytes;
        const QByteArray &a = dg[answerOf[k]].bytes;
        ++r.readAnswers;
        r.sequenceCopied += a.mid(4, 2) == q.mid(4, 2);
        r.areaCopied += a.mid(8, 4) == q.mid(8, 4);
        r.deviceCopied += a.mid(12, 4) == q.mid(12, 4);
        if (!first)
            first = &q;
        for (int i = 0; i < 16; ++i) {
            equal[i] = char(equal[i] && a[i] == q[i]);
            varied[i] = char(varied[i] || q[i] != first->at(i));
        }
    }
    if (r.readAnswers > 0) {
        r.headerCopies.resize(16);
        for (int i = 0; i < 16; ++i)
            r.headerCopies[i] = !equal[i] ? 'x' : varied[i] ? 'c' : '=';
    }

    // Another device id, and the write.
    for (int k = 0; k < req.size(); ++k) {
        const QByteArray answer = answerOf[k] >= 0 ? dg[answerOf[k]].bytes : QByteArray();
        const int answerLength = answerOf[k] >= 0 ? lengthOf(dg[answerOf[k]]) : 0;
        if (req[k].phase == ProbeRequest::OtherDevice) {
            r.otherDeviceId = le32(req[k].bytes, 12);
            if (answerOf[k] < 0) {
                r.otherDevice = ProbeReport::DeviceSilent;
                continue;
            }
            // Compared with an answer to this controller's own id for the same area.
            const int own = areaAnswer.value(be32(req[k].bytes, 8), -1);
            const QByteArray ref = own >= 0 ? dg[answerOf[own]].bytes : QByteArray();
            const bool same = !ref.isEmpty() && answerLength == lengthOf(dg[answerOf[own]])
                           && answer.at(0) == ref.at(0);
            r.otherDevice = same ? ProbeReport::DeviceSame : ProbeReport::DeviceDifferent;
            r.otherDeviceDetail = QStringLiteral("%1 bytes, first byte 0x%2, device id %3")
                                      .arg(answerLength)
                                      .arg(answer.isEmpty() ? 0 : uchar(answer.at(0)), 2, 16, QLatin1Char('0'))
                                      .arg(answer.size() >= 16 && answer.mid(12, 4) == req[k].bytes.mid(12, 4)
                                               ? QStringLiteral("echoed")
                                               : QStringLiteral("not echoed"));
        } else if (req[k].phase == ProbeRequest::WriteTest) {
            const QByteArray header = req[k].bytes.left(11);
            if (answerOf[k] < 0) {
                r.write = ProbeReport::WriteSilent;
            } else if (answer.startsWith(header)) {
                r.write = ProbeReport::WriteCopiesHeader;
                r.writeDetail = answerLength == 11 ? QString()
                                                   : QStringLiteral("and %1 bytes more").arg(answerLength - 11);
            } else {
                r.write = ProbeReport::WriteOther;
                r.writeDetail = shortHex(answer, answerLength);
            }
        }
    }
    r.writeTag = s.writeTag;
    if (!s.writeTag.isEmpty() && r.write == ProbeReport::WriteNotAsked && !log.writeSkipped.isEmpty()) {
        r.write = ProbeReport::WriteSkipped;
        r.writeDetail = log.writeSkipped;
    }

    // The verdict in words: what each habit means for the driver.
    QStringList &v = r.verdict;
    if (!r.answered) {
        v << (r.refused ? QStringLiteral("the port is closed (the host reported it unreachable): check the port "
                                         "and that the controller's service runs; the driver reports 8 at once")
                        : QStringLiteral("no answer within the wait: check the address, the port, the network "
                                         "and firewalls; the driver reports 8 after 2 s"));
        if (!r.strangers.isEmpty())
            v << QStringLiteral("datagrams came from other addresses only: is the controller behind "
                                "another address?");
        return r;
    }
    if (r.readAnswers > 0) {
        if (r.echoesSequence)
            v << QStringLiteral("echoes sequence: late answers are recognised");
        else
            v << QStringLiteral("does not echo: a late answer can be taken for the next one; keep one "
                                "request in flight");
        if (r.deviceCopied < r.readAnswers)
            v << QStringLiteral("does not echo the device id (bytes 12-14) in every answer: the driver "
                                "reports those reads as device errors (7)");
    }
    QList<quint16> otherPorts;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        if (it.key() != s.port)
            otherPorts << it.key();
    if (!otherPorts.isEmpty()) {
        QStringList list;
        for (quint16 p : otherPorts)
            list << QString::number(p);
        v << QStringLiteral("answers from port %1, not %2: the driver takes answers from any port of the "
                            "controller's address; a firewall between must let them through")
                 .arg(list.join(QStringLiteral(", ")))
                 .arg(s.port);
    }
    if (!r.strangers.isEmpty())
        v << QStringLiteral("datagrams from other addresses: the driver passes them over once the "
                            "controller has answered from its own");
    switch (r.otherDevice) {
    case ProbeReport::DeviceSilent:
        v << QStringLiteral("ignores other device ids: a wrong --device looks like a dead controller (8)");
        break;
    case ProbeReport::DeviceSame:
        v << QStringLiteral("answers any device id: a wrong device id still reads; it cannot be found "
                            "out from the answers");
        break;
    case ProbeReport::DeviceDifferent:
        v << QStringLiteral("answers another device id differently: a wrong device id shows as a "
                            "device error (7) or a short answer (4)");
        break;
    case ProbeReport::DeviceNotAsked:
        break;
    }
    QStringList silent, errors, cut;
    for (const ProbeReport::Area &a : r.areas) {
        if (a.state == ProbeReport::Area::Silent)
            silent << a.name;
        else if (a.state == ProbeReport::Area::Error)
            errors << a.name;
        else if (a.state == ProbeReport::Area::Short)
            cut << a.name;
    }
    if (!silent.isEmpty())
        v << QStringLiteral("no answer for %1: reads there end in 8 after 2 s").arg(silent.join(QLatin1Char(' ')));
    if (!errors.isEmpty())
        v << QStringLiteral("error answers for %1: reads there end in 7").arg(errors.join(QLatin1Char(' ')));
    if (!cut.isEmpty())
        v << QStringLiteral("answers shorter than a header for %1: reads there end in 4").arg(cut.join(QLatin1Char(' ')));
    if (r.lost > 0)
        v << QStringLiteral("lost %1 of %2 reads: each costs the driver a 2 s wait").arg(r.lost).arg(r.reads);
    if (r.duplicates > 0)
        v << (r.echoesSequence ? QStringLiteral("sends duplicates: recognised by the sequence echo")
                               : QStringLiteral("sends duplicates and does not echo: a copy can be taken for "
                                                "the next answer"));
    if (r.countedOnly > 0)
        v << QStringLiteral("sent more than %1 datagrams after a request (%2 counted only): a flood; "
                            "what is judged above is the first %1 after each request")
                 .arg(kProbeKeepPerRequest).arg(r.countedOnly);
    if (r.write == ProbeReport::WriteCopiesHeader)
        v << QStringLiteral("copies the write header: late write answers are recognised");
    else if (r.write == ProbeReport::WriteOther)
        v << QStringLiteral("write answers do not copy the header: any datagram counts as the write's answer");
    else if (r.write == ProbeReport::WriteSilent)
        v << QStringLiteral("no answer to the write: writes end in 8");
    return r;
}

QString probeText(const ProbeReport &r)
{
    QString out;
    const auto line = [&out](const QString &label, const QString &text) {
        out += label.leftJustified(12, QLatin1Char(' ')) + text + QLatin1Char('\n');
    };
    line(QStringLiteral("controller"), QStringLiteral("%1, device %2: %3 %4 in %5 s")
                                           .arg(r.controller)
                                           .arg(r.device)
                                           .arg(r.requests)
                                           .arg(r.requests == 1 ? QStringLiteral("request") : QStringLiteral("requests"))
                                           .arg(QString::number(r.elapsedMs / 1000.0, 'f', 1)));
    if (!r.answered) {
        line(QStringLiteral("answers"), r.refused ? QStringLiteral("none: port closed") : QStringLiteral("none"));
    } else {
        if (r.reads > 0) {
            QString t = QStringLiteral("%1: %2 of %3 answered in time, lost %4")
                            .arg(r.rttArea).arg(r.onTime).arg(r.reads).arg(r.lost);
            if (r.onTime > 0)
                t += QStringLiteral("; round trip min %1, median %2, p99 %3")
                         .arg(ms(r.rttMinMs), ms(r.rttMedianMs), ms(r.rttP99Ms));
            line(QStringLiteral("reads"), t);
        }
        // Areas: runs of the same answer are written once.
        QStringList parts;
        int images = 0;
        for (int i = 0; i < r.areas.size(); ++i) {
            const ProbeReport::Area &a = r.areas[i];
            int j = i;
            const auto sameAs = [&a](const ProbeReport::Area &b) {
                return b.state == a.state && b.length == a.length && b.firstByte == a.firstByte;
            };
            while (j + 1 < r.areas.size() && sameAs(r.areas[j + 1]))
                ++j;
            const QString names = i == j ? a.name : a.name + QStringLiteral("..") + r.areas[j].name;
            switch (a.state) {
            case ProbeReport::Area::Image:
                parts << QStringLiteral("%1 %2 bytes").arg(names).arg(a.length);
                images += j - i + 1;
                break;
            case ProbeReport::Area::Error:
                parts << QStringLiteral("%1 error answer (0x%2)").arg(names).arg(a.firstByte, 2, 16, QLatin1Char('0'));
                break;
            case ProbeReport::Area::Silent:
                parts << QStringLiteral("%1 silent").arg(names);
                break;
            case ProbeReport::Area::Short:
                parts << QStringLiteral("%1 short answer (%2 bytes)").arg(names).arg(a.length);
                break;
            case ProbeReport::Area::NotAsked:
                parts << QStringLiteral("%1 not asked").arg(names);
                break;
            }
            i = j;
        }
        line(QStringLiteral("areas"), QStringLiteral("%1 of %2 answer with an image: %3")
                                          .arg(images).arg(r.areas.size()).arg(parts.join(QStringLiteral(", "))));
        if (r.readAnswers > 0) {
            line(QStringLiteral("echo"), QStringLiteral("of %1 read answers: sequence (bytes 4-5) copied in %2, "
                                                        "area code (8-11) in %3, device id (12-15) in %4")
                                             .arg(r.readAnswers).arg(r.sequenceCopied).arg(r.areaCopied)
                                             .arg(r.deviceCopied));
            line(QString(), QStringLiteral("header bytes copied: %1; the same as sent but never varied: %2; "
                                           "not copied: %3")
                                .arg(byteRanges(r.headerCopies, 'c'), byteRanges(r.headerCopies, '='),
                                     byteRanges(r.headerCopies, 'x')));
        }
        QStringList ports;
        for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
            ports << QStringLiteral("port %1 (%2)").arg(it.key()).arg(it.value());
        line(QStringLiteral("sources"), QStringLiteral("the controller's address, %1").arg(ports.join(QStringLiteral(", "))));
    }
    if (!r.strangers.isEmpty()) {
        QStringList list;
        for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
            list << QStringLiteral("%1 (%2)").arg(it.key()).arg(it.value());
        line(r.answered ? QString() : QStringLiteral("sources"),
             QStringLiteral("other addresses: %1").arg(list.join(QStringLiteral(", "))));
    }
    if (r.furtherSenders > 0)
        line(r.answered || !r.strangers.isEmpty() ? QString() : QStringLiteral("sources"),
             QStringLiteral("%1 datagrams from more senders than the %2 told apart")
                 .arg(r.furtherSenders).arg(kProbeSenders));
    if (r.otherDevice != ProbeReport::DeviceNotAsked) {
        const QString label = QStringLiteral("device %1").arg(r.otherDeviceId);
        if (r.otherDevice == ProbeReport::DeviceSilent)
            line(label, QStringLiteral("no answer"));
        else
            line(label, QStringLiteral("%1 (%2)")
                            .arg(r.otherDevice == ProbeReport::DeviceSame
                                     ? QStringLiteral("answered as for device %1").arg(r.device)
                                     : QStringLiteral("a different answer"),
                                 r.otherDeviceDetail));
    }
    switch (r.write) {
    case ProbeReport::WriteNotAsked:
        break;
    case ProbeReport::WriteSkipped:
        line(QStringLiteral("write"), QStringLiteral("%1: not written: %2").arg(r.writeTag, r.writeDetail));
        break;
    case ProbeReport::WriteSilent:
        line(QStringLiteral("write"), QStringLiteral("%1: no answer").arg(r.writeTag));
        break;
    case ProbeReport::WriteCopiesHeader:
        line(QStringLiteral("write"), QStringLiteral("%1: the answer copies the 11-byte header%2")
                                          .arg(r.writeTag, r.writeDetail.isEmpty() ? QString()
                                                                                   : QLatin1Char(' ') + r.writeDetail));
        break;
    case ProbeReport::WriteOther:
        line(QStringLiteral("write"), QStringLiteral("%1: the answer does not copy the header: %2")
                                          .arg(r.writeTag, r.writeDetail));
        break;
    }
    if (r.answered)
        line(QStringLiteral("extra"), QStringLiteral("duplicates %1, late answers %2, unexplained %3%4")
                                          .arg(r.duplicates).arg(r.late).arg(r.unexplained)
                                          .arg(r.countedOnly > 0 ? QStringLiteral(", counted only %1").arg(r.countedOnly)
                                                             : QString()));
    if (!r.stopped.isEmpty())
        line(QStringLiteral("stopped"), r.stopped);
    for (int i = 0; i < r.verdict.size(); ++i)
        line(i == 0 ? QStringLiteral("verdict") : QString(), r.verdict[i]);
    return out;
}

QString probeJson(const ProbeReport &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("command"), QStringLiteral("probe"));
    o.insert(QStringLiteral("controller"), r.controller);
    o.insert(QStringLiteral("device"), double(r.device));
    o.insert(QStringLiteral("requests"), r.requests);
    o.insert(QStringLiteral("elapsedMs"), double(r.elapsedMs));
    o.insert(QStringLiteral("answered"), r.answered);
    o.insert(QStringLiteral("refused"), r.refused);
    if (!r.stopped.isEmpty())
        o.insert(QStringLiteral("stopped"), r.stopped);
    QJsonObject reads{{QStringLiteral("area"), r.rttArea}, {QStringLiteral("sent"), r.reads},
                      {QStringLiteral("onTime"), r.onTime}, {QStringLiteral("lost"), r.lost}};
    if (r.onTime > 0)
        reads.insert(QStringLiteral("rttMs"), QJsonObject{{QStringLiteral("min"), r.rttMinMs},
                                                          {QStringLiteral("median"), r.rttMedianMs},
                                                          {QStringLiteral("p99"), r.rttP99Ms}});
    o.insert(QStringLiteral("reads"), reads);
    QJsonArray areas;
    for (const ProbeReport::Area &a : r.areas) {
        static const char *const states[] = {"image", "error", "silent", "not asked", "short"};
        QJsonObject ao{{QStringLiteral("name"), a.name},
                       {QStringLiteral("answer"), QLatin1String(states[a.state])}};
        if (a.state == ProbeReport::Area::Image || a.state == ProbeReport::Area::Short)
            ao.insert(QStringLiteral("length"), a.length);
        if (a.state == ProbeReport::Area::Error)
            ao.insert(QStringLiteral("firstByte"), a.firstByte);
        areas.append(ao);
    }
    o.insert(QStringLiteral("areas"), areas);
    o.insert(QStringLiteral("echo"), QJsonObject{{QStringLiteral("readAnswers"), r.readAnswers},
                                                 {QStringLiteral("sequence"), r.sequenceCopied},
                                                 {QStringLiteral("areaCode"), r.areaCopied},
                                                 {QStringLiteral("deviceId"), r.deviceCopied},
                                                 {QStringLiteral("echoesSequence"), r.echoesSequence},
                                                 {QStringLiteral("headerBytes"), QString::fromLatin1(r.headerCopies)}});
    QJsonObject ports, strangers;
    for (auto it = r.ports.cbegin(); it != r.ports.cend(); ++it)
        ports.insert(QString::number(it.key()), it.value());
    for (auto it = r.strangers.cbegin(); it != r.strangers.cend(); ++it)
        strangers.insert(it.key(), it.value());
    QJsonObject sources{{QStringLiteral("ports"), ports}, {QStringLiteral("otherAddresses"), strangers}};
    if (r.furtherSenders > 0)
        sources.insert(QStringLiteral("furtherSenders"), r.furtherSenders);
    o.insert(QStringLiteral("sources"), sources);
    if (r.otherDevice != ProbeReport::DeviceNotAsked) {
        static const char *const answers[] = {"not asked", "silent", "same", "different"};
        o.insert(QStringLiteral("otherDevice"), QJsonObject{{QStringLiteral("device"), double(r.otherDeviceId)},
                                                            {QStringLiteral("answer"), QLatin1String(answers[r.otherDevice])},
                                                            {QStringLiteral("detail"), r.otherDeviceDetail}});
    }
    if (r.write != ProbeReport::WriteNotAsked) {
        static const char *const writes[] = {"not asked", "skipped", "silent", "copies header", "other"};
        o.insert(QStringLiteral("write"), QJsonObject{{QStringLiteral("tag"), r.writeTag},
                                                      {QStringLiteral("answer"), QLatin1String(writes[r.write])},
                                                      {QStringLiteral("detail"), r.writeDetail}});
    }
    o.insert(QStringLiteral("duplicates"), r.duplicates);
    o.insert(QStringLiteral("late"), r.late);
    o.insert(QStringLiteral("unexplained"), r.unexplained);
    if (r.countedOnly > 0)
        o.insert(QStringLiteral("countedOnly"), r.countedOnly);
    o.insert(QStringLiteral("verdict"), QJsonArray::fromStringList(r.verdict));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

} // namespace veskortool
