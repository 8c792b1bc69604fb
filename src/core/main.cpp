// Process entry: runs the service under our service framework.
#include "service.h"

int main(int argc, char **argv)
{
    Service service(argc, argv);
    const int result = service.exec();
    return result;
}
