// The service's application object.
#pragma once

#include <QCoreApplication>
#include <QLatin1String>

class Application : public QCoreApplication
{
public:
    Application(int &argc, char **argv);
    // The name is accepted for the service framework's sake and not used.
    Application(int &argc, char **argv, const QLatin1String &name);

    // Null when no application object exists or it is not an Application.
    static Application *instance();

private:
    void setOrganisation();
};
