// Collects the Qt messages (qDebug, qWarning, ...) written while it exists.
#ifndef E2E_MESSAGECAPTURE_H
#define E2E_MESSAGECAPTURE_H

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

namespace e2e {

class MessageCapture
{
public:
    using Message = QPair<QtMsgType, QString>;

    MessageCapture();    // installs the handler
    ~MessageCapture();   // puts the previous one back

    QList<Message> messages() const;
    QStringList texts() const;
    void clear();

private:
    QtMessageHandler m_previous;
};

} // namespace e2e

#endif
