#pragma once
// Where the software-update feed lives in each services environment: the bundle's "SUFeedURL" is
// a path put on this base. The local environment serves it from its loopback base. Main thread.

#include "foundation/AppServices.h"
#include "platform/Url.h"

Url updateFeedBaseURL(const AppServices& services, AppServices::Environment environment);
