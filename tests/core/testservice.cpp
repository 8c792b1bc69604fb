// A tiny service built on the service framework, for its end-to-end tests: notes every hook it reaches.
#include "application.h"
#include "servicebase.h"

#include <QFile>

namespace {

// Appends one line to the file named by POBRID_TESTSERVICE_NOTES.
void note(const QByteArray &line)
{
    QFile notes(QString::fromLocal8Bit(qgetenv("POBRID_TESTSERVICE_NOTES")));
    if (notes.open(QIODevice::WriteOnly | QIODevice::Append))
        notes.write(line + '\n');
}

class TestService : public ServiceBase
{
public:
    TestService(int argc, char **argv)
        : ServiceBase(argc, argv, QStringLiteral("pobrid-test"))
    {
    }

protected:
    void start() override { note("start " + QByteArray::number(QCoreApplication::applicationPid())); }
    void stop() override { note("stop"); }
    void pause() override { note("pause"); }
    void resume() override { note("resume"); }
    void processCommand(int code) override { note("command " + QByteArray::number(code)); }
    void createApplication(int &argc, char **argv) override
    {
        m_app = new Application(argc, argv, QLatin1String("pobrid-test"));
    }
    int executeApplication() override { return m_app->exec(); }

private:
    Application *m_app = nullptr;
};

} // namespace

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    return service.exec();
}
