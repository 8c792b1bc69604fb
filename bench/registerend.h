// The register's end of one link as the bench sees it: bytes out, and an inbox of what came back with arrival times.
#pragma once

#include <QByteArray>
#include <QObject>

class RegisterEnd : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Bytes the register puts on its link.
    virtual void send(const QByteArray &bytes) = 0;

    // Bytes that arrived and were not yet consumed by the caller.
    QByteArray &inbox() { return m_inbox; }
    qint64 lastArrivalNs() const { return m_lastArrivalNs; }

signals:
    void arrived();

protected:
    void deliver(const QByteArray &bytes);

private:
    QByteArray m_inbox;
    qint64 m_lastArrivalNs = 0;
};
