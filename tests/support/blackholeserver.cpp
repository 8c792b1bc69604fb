// A loopback port where connection attempts get no answer, so they run into their timeout.
#include "blackholeserver.h"

BlackHoleServer::BlackHoleServer()
{
    m_server.setListenBacklogSize(0);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        return;
    m_server.pauseAccepting();
    m_filler.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
    m_valid = m_filler.waitForConnected(2000);
}
