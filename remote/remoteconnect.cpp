#include "remoteconnect.h"

#include "../util/qvtypes.h"

ConnectResult ConnectRemote(CXConnection& transport, CAttemptObserver* observer,
                            const std::string& systemName)
{
    // The roads through the relay servers are not part of this build: report the
    // attempt and fail, so that the caller shows its own failure text.
    AttemptStatus(observer, StrPrintf("Starting Connection to '%s'", systemName.c_str()).c_str());
    transport.Close();
    return ConnectResult::NotLocated;
}
