// The worker interfaces.
#include "iworker.h"

IWorker::~IWorker() = default;
IPortWorker::~IPortWorker() = default;
