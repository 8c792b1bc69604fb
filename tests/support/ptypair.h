// A pseudo-terminal pair standing in for a serial line: the code under test opens the
// slave by name, the test plays the peer on the master.
#pragma once

#include <QByteArray>
#include <QString>

class PtyPair
{
public:
    // holdSlave keeps a slave descriptor open for the pair's life, so the
    // master never reads EIO while the code under test has the slave closed.
    explicit PtyPair(bool holdSlave = true);
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slaveName() const { return m_slaveName; }
    int masterFd() const { return m_master; }

    // Writes all bytes to the master end.
    bool write(const QByteArray &bytes);
    // Reads whatever arrives within timeoutMs (returns early once bytes came
    // and the line has been quiet for quietMs).
    QByteArray read(int timeoutMs, int quietMs = 30);
    // Reads until n bytes have arrived or timeoutMs has passed, processing the
    // test thread's events while it waits.
    QByteArray readExactly(int n, int timeoutMs);
    // Drops everything waiting on the master end.
    void drain();

private:
    QByteArray readAvailable(int waitMs, int maxBytes = 4096);

    int m_master = -1;
    int m_slave = -1;
    QString m_slaveName;
};
