#include "HostPort.h"

namespace veskortools {

namespace {

bool asciiDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

bool readPort(const QString &text, const HostPortForm &form, quint16 *port)
{
    bool ok = false;
    const qulonglong v = form.hexPort && text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                             ? text.mid(2).toULongLong(&ok, 16)
                             : text.toULongLong(&ok, 10);
    if (!ok || v > 65535 || (v == 0 && !form.portZero))
        return false;
    *port = quint16(v);
    return true;
}

HostPortError refuse(HostPortError error, const HostPortForm &form, QString *reason)
{
    if (reason)
        *reason = error == HostPortError::Form
                      ? QStringLiteral("expected %1:PORT").arg(QLatin1String(form.hostWord))
                      : QStringLiteral("port out of range %1..65535").arg(form.portZero ? 0 : 1);
    return error;
}

} // namespace

HostPortError parseHostPort(const QString &text, const HostPortForm &form, HostPort *out, QString *reason)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return refuse(HostPortError::Form, form, reason);
    HostPort split;
    split.host = text.left(colon);
    split.portText = text.mid(colon + 1);
    if (!form.colonsInHost && (split.host.contains(QLatin1Char(':')) || !asciiDigits(split.portText)))
        return refuse(HostPortError::Form, form, reason);
    if (!readPort(split.portText, form, &split.port))
        return refuse(HostPortError::Port, form, reason);
    *out = split;
    return HostPortError::None;
}

} // namespace veskortools
