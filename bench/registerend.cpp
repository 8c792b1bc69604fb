// The register's end of one link as the bench sees it: bytes out, and an inbox of what came back with arrival times.
#include "registerend.h"

#include "benchclock.h"

void RegisterEnd::deliver(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_lastArrivalNs = BenchClock::nowNs();
    m_inbox += bytes;
    emit arrived();
}
