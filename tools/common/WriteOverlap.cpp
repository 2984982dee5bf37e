#include "common/WriteOverlap.h"

#include "driver/Tags.h"

namespace veskortool {

QVector<QPair<int, int>> writeOverlaps(const QVector<ByteSpan> &spans)
{
    QVector<QPair<int, int>> pairs;
    for (int w = 0; w < spans.size(); ++w) {
        if (!spans.at(w).written)
            continue;
        for (int o = 0; o < spans.size(); ++o)
            if (o != w && bytesMeet(spans.at(w), spans.at(o)))
                pairs.append({w, o});
    }
    return pairs;
}

bool spanOf(const TagRequest &t, ByteSpan *out)
{
    const veskor::TagRef ref = veskor::parseTag(t.tag);
    const qint64 bytes = veskor::byteLength(t.type, t.count);
    if (ref.area == 0 || ref.address < 0 || bytes <= 0 || bytes > 65536)
        return false;
    out->address = ref.address;
    out->bytes = int(bytes);
    return true;
}

QString spanText(const QString &name, const QString &tag, const ByteSpan &s)
{
    const QString bytes = QStringLiteral("bytes %1..%2").arg(s.address).arg(s.address + s.bytes - 1);
    return name.isEmpty() ? QStringLiteral("%1 (%2)").arg(tag, bytes)
                          : QStringLiteral("%1 (%2, %3)").arg(name, tag, bytes);
}

QString writeOverlapWarning(const QVector<TagRequest> &tags, const QString &file)
{
    QVector<ByteSpan> spans;
    QVector<int> index;   // the tag of each span
    for (int i = 0; i < tags.size(); ++i) {
        ByteSpan s;
        s.written = true;
        if (spanOf(tags.at(i), &s)) {
            spans.append(s);
            index.append(i);
        }
    }
    QVector<QPair<int, int>> pairs;   // each pair once: the earlier tag written
    for (const auto &[w, o] : writeOverlaps(spans)) {
        const TagRequest &a = tags.at(index.at(w));
        const TagRequest &b = tags.at(index.at(o));
        if (w < o && a.controller == b.controller && a.tag != b.tag)
            pairs.append({w, o});
    }
    if (pairs.isEmpty())
        return QString();
    const auto [w, o] = pairs.first();
    const TagRequest &a = tags.at(index.at(w));
    const TagRequest &b = tags.at(index.at(o));
    QString line = file.isEmpty() ? QString() : QStringLiteral("%1:%2: ").arg(file).arg(a.line);
    line += QStringLiteral("warning: a write to %1 also lands on %2, as the controller stores a write at its "
                           "address in every area")
                .arg(spanText(a.name, a.tag, spans.at(w)), spanText(b.name, b.tag, spans.at(o)));
    if (pairs.size() == 2)
        line += QStringLiteral(" (and 1 more such pair)");
    else if (pairs.size() > 2)
        line += QStringLiteral(" (and %1 more such pairs)").arg(pairs.size() - 1);
    return line;
}

} // namespace veskortool
