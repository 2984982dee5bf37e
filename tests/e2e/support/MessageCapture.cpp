#include "MessageCapture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

namespace e2e {

namespace {
QMutex g_lock;
QList<MessageCapture::Message> g_messages;

void collect(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    QMutexLocker l(&g_lock);
    g_messages.append(qMakePair(type, text));
}
} // namespace

MessageCapture::MessageCapture()
{
    clear();
    m_previous = qInstallMessageHandler(collect);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
}

QList<MessageCapture::Message> MessageCapture::messages() const
{
    QMutexLocker l(&g_lock);
    return g_messages;
}

QStringList MessageCapture::texts() const
{
    QStringList out;
    for (const Message &m : messages())
        out.append(m.second);
    return out;
}

void MessageCapture::clear()
{
    QMutexLocker l(&g_lock);
    g_messages.clear();
}

} // namespace e2e
