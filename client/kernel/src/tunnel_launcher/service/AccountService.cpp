#include "tunnel_launcher/service/AccountService.h"

#include <utility>

#include "core/src/crypto/Digest.h"
#include "core/src/debug/Assert.h"
#include "tunnel_launcher/ApiSettings.h"
#include "tunnel_launcher/EncryptedProperties.h"
#include "tunnel_launcher/ILauncherContext.h"
#include "tunnel_launcher/LaunchSettings.h"
#include "tunnel_launcher/api/ApiAccess.h"
#include "util/src/log/ILogRecorder.h"

namespace tunnel {

using kx::core::Any;
using kx::core::Array;
using kx::core::String;

const wchar_t* const AccountService::TOKEN_KEY = L"client.token";

namespace {

ILauncherContext* checked(ILauncherContext* context) {
    KX_ASSERT(context);
    return context;
}

}  // namespace

AccountService::AccountService(ILauncherContext* context)
    : m_context(checked(context)),
      m_apiClient(context->apiAccess(), context->apiSettings().url),
      m_refreshTimer(ACCOUNT_REFRESH_PERIOD) {}

AccountService::~AccountService() { m_refreshThread.stop(-1); }

String AccountService::accessId(const String& launchKey) { return kx::core::Digest::md5Hex(launchKey); }

bool AccountService::refreshRunning() const {
    return m_refreshThread.state() != kx::core::Thread::State::STOPPED;
}

bool AccountService::start() {
    if (!m_token.isEmpty()) return false;
    m_errorText.clear();
    return _syncAccount();
}

void AccountService::tick() {
    if (m_token.isEmpty() || !m_refreshTimer.isExpired()) return;
    m_refreshTimer.start(ACCOUNT_REFRESH_PERIOD);
    _doAsyncUpdate();
}

bool AccountService::_syncAccount() {
    String token;
    Array<Any> targets;
    if (!_ensureClient(token)) return false;
    if (!_updateTargetList(token, targets)) return false;
    m_token = std::move(token);
    m_targets = std::move(targets);
    return true;
}

bool AccountService::_ensureClient(String& token) {
    if (!m_context->properties()->get(TOKEN_KEY).isEmpty()) {
        if (!_updateClient(token)) return false;
        if (!token.isEmpty()) return true;
    }
    return _createClient(token);
}

bool AccountService::_updateClient(String& token) {
    EncryptedProperties* properties = m_context->properties();
    kx::util::ILogRecorder* logger = m_context->logger();
    const String stored = properties->get(TOKEN_KEY);
    if (stored.isEmpty()) return false;
    const LaunchSettings& launch = m_context->launchSettings();
    if (m_apiClient.accountUpdate(accessId(launch.launchKey), stored, launch.launchVersion)) {
        if (logger) logger->info(L"[Launcher] Client updated.");
        token = stored;
        return true;
    }
    if (m_apiClient.lastErrorCode() == ApiClient::TOKEN_REJECTED) {
        if (logger) {
            logger->warn(L"[Launcher] Failed to update client: " + m_apiClient.lastErrorText());
            logger->info(L"[Launcher] Reset token.");
        }
        properties->set(TOKEN_KEY, L"");
        token.clear();
        return true;
    }
    if (logger) logger->error(L"[Launcher] Failed to update client: " + m_apiClient.lastErrorText());
    m_errorText = L"Failed to update client: " + m_apiClient.lastErrorText();
    return false;
}

bool AccountService::_createClient(String& token) {
    kx::util::ILogRecorder* logger = m_context->logger();
    const LaunchSettings& launch = m_context->launchSettings();
    String created;
    bool ok = m_apiClient.accountCreate(accessId(launch.launchKey), launch.launchVersion,
                                        ApiClient::Marks(), created);
    String why = m_apiClient.lastErrorText();
    // An answer without a token is no account: later calls would carry an
    // empty token and the launcher would start with nothing to log in with.
    if (ok && created.isEmpty()) {
        ok = false;
        why = L"Empty token";
    }
    if (!ok) {
        if (logger) logger->error(L"[Launcher] Failed to create client: " + why);
        m_errorText = L"Failed to create client: " + why;
        return false;
    }
    EncryptedProperties* properties = m_context->properties();
    if (!properties->set(TOKEN_KEY, created) && logger) {
        // The token still works for this run; the next start creates another.
        logger->warn(L"[Launcher] Failed to store token: " + properties->errorText());
    }
    if (logger) logger->info(L"[Launcher] Client created.");
    token = created;
    return true;
}

bool AccountService::_updateTargetList(const String& token, Array<Any>& targets) {
    kx::util::ILogRecorder* logger = m_context->logger();
    const LaunchSettings& launch = m_context->launchSettings();
    Array<Any> list;
    if (!m_apiClient.enumTargets(token, launch.targetNames, launch.targetGroups, list)) {
        String why = m_apiClient.lastErrorText();
        // A call that succeeded without a "targets" array leaves no text.
        if (why.isEmpty()) why = L"Bad rpc return: no target list";
        if (logger) logger->warn(L"[Launcher] Failed to update target list: " + why);
        m_errorText = L"Failed to update target list: " + why;
        return false;
    }
    if (list.isEmpty()) {
        if (logger) logger->error(L"[Launcher] Target list is empty!");
        m_errorText = L"Target list is empty";
        return false;
    }
    if (logger) logger->info(L"[Launcher] Target list updated.");
    targets = std::move(list);
    return true;
}

void AccountService::_doAsyncUpdate() {
    if (m_refreshThread.state() != kx::core::Thread::State::STOPPED) return;
    kx::util::IHttpAccess* access = m_context->apiAccess();
    kx::net::URL url = m_context->apiSettings().url;
    const LaunchSettings& launch = m_context->launchSettings();
    String id = accessId(launch.launchKey);
    String token = m_token;
    String version = launch.launchVersion;
    m_refreshThread.start([access, url, id, token, version]() {
        try {
            ApiClient client(access, url);
            client.accountUpdate(id, token, version);
        } catch (...) {
            // A refresh is best effort; the next one follows an hour later.
        }
    });
}

}  // namespace tunnel
