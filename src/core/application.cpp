// The service's application object.
#include "application.h"

Application::Application(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
    setOrganisation();
}

Application::Application(int &argc, char **argv, const QLatin1String &name)
    : QCoreApplication(argc, argv)
{
    Q_UNUSED(name);
    setOrganisation();
}

Application *Application::instance()
{
    return dynamic_cast<Application *>(QCoreApplication::instance());
}

void Application::setOrganisation()
{
    setOrganizationDomain(QStringLiteral("pobrid.local"));
    setOrganizationName(tr("pobrid"));
}
