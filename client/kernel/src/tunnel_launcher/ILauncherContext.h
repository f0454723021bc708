#pragma once

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class ApiAccess;
class EncryptedProperties;
struct ApiSettings;
struct LaunchSettings;

// What the launcher offers the services it owns.
class ILauncherContext {
public:
    virtual kx::util::ILogRecorder* logger() = 0;
    virtual kx::net::SocketEventSelector* selector() = 0;
    // The control API's HTTP access; safe to use from the refresh thread.
    virtual ApiAccess* apiAccess() = 0;
    // The token file.
    virtual EncryptedProperties* properties() = 0;
    virtual const ApiSettings& apiSettings() const = 0;
    virtual const LaunchSettings& launchSettings() const = 0;
    virtual ~ILauncherContext() = default;
};

}  // namespace tunnel
