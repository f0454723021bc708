#pragma once

#include <cstdint>

#include "core/src/thread/Thread.h"
#include "core/src/time/Timer.h"
#include "core/src/value/Any.h"
#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/api/ApiClient.h"

namespace tunnel {

class ILauncherContext;

// Keeps this installation's account with the control API: makes sure a client
// token exists (stored in the launcher's properties under "client.token"),
// fetches the target list, and re-announces the token hourly on a thread of
// its own. start/tick/the getters run on the worker thread.
class AccountService {
public:
    static constexpr int32_t ACCOUNT_REFRESH_PERIOD = 3600000;
    static const wchar_t* const TOKEN_KEY;  // "client.token"

    // context is never null and outlives the service.
    explicit AccountService(ILauncherContext* context);
    // Waits for a running refresh to end.
    virtual ~AccountService();

    // False at once when a token is already held; otherwise updates or
    // creates the client and fetches the targets. On false see errorText().
    bool start();
    // Starts the hourly refresh when it is due.
    void tick();

    const kx::core::String& token() const { return m_token; }
    const kx::core::Array<kx::core::Any>& targets() const { return m_targets; }
    const kx::core::String& errorText() const { return m_errorText; }
    // The refresh thread is running (for tests and teardown).
    bool refreshRunning() const;

    // The access id sent to the API: the MD5 hex of the launch key.
    static kx::core::String accessId(const kx::core::String& launchKey);

private:
    bool _syncAccount();
    bool _ensureClient(kx::core::String& token);
    bool _updateClient(kx::core::String& token);
    bool _createClient(kx::core::String& token);
    bool _updateTargetList(const kx::core::String& token, kx::core::Array<kx::core::Any>& targets);
    void _doAsyncUpdate();

    ILauncherContext* m_context;
    ApiClient m_apiClient;
    kx::core::String m_errorText;
    kx::core::String m_token;
    kx::core::Array<kx::core::Any> m_targets;
    kx::core::Timer m_refreshTimer;
    kx::core::Thread m_refreshThread;
};

}  // namespace tunnel
