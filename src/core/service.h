// The service object: reads the settings, sets up logging and creates one worker pair per register.
#pragma once

#include "hotpluglistener.h"
#include "servicebase.h"
#include "settings.h"
#include "workerlinks.h"

#include <QObject>
#include <memory>

class Application;
class HotplugAgent;
class IPortWorker;

class Service : public QObject, public ServiceBase, public HotplugListener
{
    Q_OBJECT
public:
    Service(int argc, char **argv);
    ~Service() override;

    void onDeviceConnected(const QMap<QString, QString> &properties) override;
    void onDeviceDisconnected(const QMap<QString, QString> &properties) override;

protected:
    void start() override;
    void stop() override;
    void createApplication(int &argc, char **argv) override;
    int executeApplication() override;

private:
    void initLogger();
    void runWorker(const PobSettings &settings);
    void runWorker(const SarnSettings &settings);
    void initLink(IPortWorker *portWorker, const QString &name);

    Application *m_app = nullptr;
    WorkerLinks m_links;
    std::unique_ptr<HotplugAgent> m_hotplugAgent;
    bool m_consoleMode = false;
    bool m_stopped = false;
    Settings m_settings;
};
