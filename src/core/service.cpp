// The service object: reads the settings, sets up logging and creates one worker pair per register.
#include "service.h"

#include "application.h"
#include "comproxykorvel2.h"
#include "comproxykorvel3.h"
#include "hotplugagent.h"
#include "logger.h"
#include "ofdworker.h"

#ifdef Q_OS_WIN
#include "serialworker.h"
#else
#include "usbworker.h"
#endif

#include <QCoreApplication>
#include <QThread>
#include <unistd.h>

namespace {

const QString SERVICE_NAME = QStringLiteral("Pob");
const QString SERVICE_VERSION = QStringLiteral("4782");

// Stopping a pair can take as long as its slowest step: a USB link in its
// 10 s pause after a lost link, a TCP connection draining its write queue.
const int WORKER_END_TIMEOUT_MS = 60000;

} // namespace

Service::Service(int argc, char **argv)
    : ServiceBase(argc, argv, SERVICE_NAME)
{
    setStartupType(AutoStartup);
    setObjectName(SERVICE_NAME);
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-e" || arg == "-exec")
            m_consoleMode = true;
    }
}

Service::~Service()
{
    stop();
}

void Service::createApplication(int &argc, char **argv)
{
    m_app = new Application(argc, argv, QLatin1String("Pob"));
}

int Service::executeApplication()
{
    const int result = m_app->exec();
    // Worker threads must have ended before the application object goes away.
    stop();
    if (!m_links.waitForAll(WORKER_END_TIMEOUT_MS)) {
        Logger(objectName()).error(QStringLiteral("Workers did not end in time"));
        ::_exit(result);
    }
    return result;
}

void Service::initLogger()
{
    Logger::initRoot(m_consoleMode, m_settings.logsDir);
}

void Service::start()
{
    m_settings = Settings::loadSettings();
    initLogger();
    const Logger log(objectName());
    log.info(QStringLiteral("Start service %1 (v%2)").arg(SERVICE_NAME, SERVICE_VERSION));

    if (m_settings.hotplug) {
        log.info(QStringLiteral("Hotplug mode"));
        m_hotplugAgent.reset();
        m_hotplugAgent = std::make_unique<HotplugAgent>(this);
    } else {
        if (m_settings.pobDevices.isEmpty() && m_settings.sarnDevices.isEmpty()) {
            log.info(QStringLiteral("No devices in config"));
            QCoreApplication::quit();
        }
        for (const PobSettings &device : std::as_const(m_settings.pobDevices))
            runWorker(device);
    }
    for (const SarnSettings &device : std::as_const(m_settings.sarnDevices))
        runWorker(device);
}

void Service::stop()
{
    m_stopped = true;
    m_hotplugAgent.reset();
    m_links.stopAll();
}

void Service::runWorker(const PobSettings &settings)
{
    Logger(objectName()).info(QStringLiteral("Register Pob worker [%1]").arg(settings.id));
#ifdef Q_OS_WIN
    initLink(new SerialWorker(settings), settings.id);
#else
    initLink(new UsbWorker(settings), settings.id);
#endif
}

void Service::runWorker(const SarnSettings &settings)
{
    Logger(objectName()).info(QStringLiteral("Register Sarn worker [%1]").arg(settings.id));
    if (settings.protocol == 2)
        initLink(new ComProxyKorvel2(settings), settings.id);
    else
        initLink(new ComProxyKorvel3(settings), settings.id);
}

void Service::initLink(IPortWorker *portWorker, const QString &name)
{
    m_links.link(portWorker, new OfdWorker(name));
}

void Service::onDeviceConnected(const QMap<QString, QString> &properties)
{
    // Later arrivals are reported on the hotplug poller's thread: pairs are
    // made on the main thread only, where their threads' deletion is handled.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, properties] { onDeviceConnected(properties); }, Qt::QueuedConnection);
        return;
    }
    if (m_stopped)
        return;
    PobSettings settings;
    settings.id = properties.value(QStringLiteral("Dev"));
    settings.port = settings.id;
    settings.hotplugged = true;
    // A register plugged back in while its old link still retries is reopened
    // by that link; a second link would fight it for the same interface.
    const QString linkName = QStringLiteral("USB-") + settings.id;
    for (IPortWorker *worker : m_links.livePortWorkers()) {
        if (worker->objectName() == linkName) {
            Logger(objectName()).info(QStringLiteral("Link [%1] is still running").arg(settings.id));
            return;
        }
    }
    runWorker(settings);
}

void Service::onDeviceDisconnected(const QMap<QString, QString> &)
{
}
