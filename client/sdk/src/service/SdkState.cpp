#include "service/SdkState.h"

#include <cstring>

#include "core/src/value/Array.h"

#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/thread/LockGuard.h"
#include "core/src/value/AnyConvert.h"
#include "log/DebugLogRecorder.h"
#include "platform/PlatformPaths.h"
#include "platform/SystemLog.h"
#include "service/Application.h"
#include "service/KorvaneLifecycle.h"
#include "service/WrapperService.h"

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::JsonBuilder;
using kx::core::JsonParser;
using kx::core::LockGuard;
using kx::core::String;

namespace tunnel {

SdkState& SdkState::instance() {
    static SdkState state;
    return state;
}

SdkState::SdkState() : m_started(false), m_keepInBackground(false) {}

SdkState::~SdkState() {
    // A host that exits without stopping still gets its worker joined.
    LockGuard guard(m_lock);
    m_application.reset();
}

String SdkState::applicationDirectory() {
    return PlatformPaths::documentsDirectory().trimSuffix(L"/") + L"/Korvane";
}

String SdkState::debugDirectory() {
    return PlatformPaths::temporaryDirectory().trimSuffix(L"/") + L"/.debug";
}

int SdkState::start(const char* configJson) {
    LockGuard guard(m_lock);
    m_lastError.clear();
    const String debugDir = debugDirectory();
    const String appDir = applicationDirectory();
    const String configText =
        configJson ? String::fromUtf8(configJson, std::strlen(configJson)) : String();
    const int rc = _startLocked(debugDir, appDir, configText);
    if (rc != RESULT_OK) return rc;
    m_started = true;
    KorvaneLifecycle::shared().install();
    return RESULT_OK;
}

int SdkState::_startLocked(const String& debugDir, const String& appDir,
                           const String& configText) {
    if (m_application) {
        m_lastError = L"[SDK] Already started";
        return RESULT_ALREADY_STARTED;
    }
    Dictionary<Any> config;
    if (!JsonParser::parseDictionary(configText, config)) {
        m_lastError = L"[SDK] Invalid config JSON";
        return RESULT_INVALID_CONFIG;
    }
    m_keepInBackground = false;
    if (config.contains(L"lifecycle_keep_enabled")) {
        m_keepInBackground = AnyConvert::toBool(config.get(L"lifecycle_keep_enabled"));
    }
    const bool logEnabled = AnyConvert::toBool(config.get(L"log_enabled"));

    std::unique_ptr<DebugLogRecorder> recorder(new DebugLogRecorder(debugDir, logEnabled));
    if (!recorder) {
        m_lastError = L"[SDK] Failed to create log recorder";
        return RESULT_OPEN_FAILED;
    }
    m_application.reset(new Application(std::move(recorder), appDir, config));
    if (m_application->open()) {
        m_savedDebugDir = debugDir;
        m_savedAppDir = appDir;
        m_savedConfig = configText;
        return RESULT_OK;
    }
    m_lastError = m_application->errorText();
    m_application.reset();
    return RESULT_OPEN_FAILED;
}

int SdkState::stop() {
    LockGuard guard(m_lock);
    m_lastError.clear();
    m_started = false;
    m_savedConfig.clear();
    KorvaneLifecycle::shared().uninstall();
    _stopLocked();
    return RESULT_OK;
}

void SdkState::_stopLocked() {
    if (!m_application) return;
    m_application->close();
    m_application.reset();
}

const char* SdkState::error() {
    LockGuard guard(m_lock);
    m_errorBuffer = m_lastError.toUtf8();
    return m_errorBuffer.c_str();
}

const char* SdkState::status() {
    LockGuard guard(m_lock);
    Dictionary<Any> out;
    String snapshot;
    if (m_application) {
        const std::string json = m_application->wrapperService()->statusJson();
        Any parsed;
        if (!json.empty() && JsonParser::parseAny(String::fromUtf8(json), parsed) &&
            parsed.is<Dictionary<Any>>()) {
            out = parsed.as<Dictionary<Any>>();
        } else if (parsed.is<kx::core::Array<Any>>()) {
            out.set(L"targets", parsed);
        }
    }
    out.set(L"started", Any(m_started));
    out.set(L"running", Any(m_application != nullptr));
    if (!out.contains(L"targets")) out.set(L"targets", Any(kx::core::Array<Any>()));
    if (!JsonBuilder::buildText(out, snapshot)) snapshot = L"{\"started\":false,\"running\":false}";
    m_statusBuffer = snapshot.toUtf8();
    return m_statusBuffer.c_str();
}

bool SdkState::isStarted() {
    LockGuard guard(m_lock);
    return m_started;
}

bool SdkState::isRunning() {
    LockGuard guard(m_lock);
    return m_application != nullptr;
}

void SdkState::enterBackground() {
    LockGuard guard(m_lock);
    if (!m_started || m_keepInBackground) return;
    _stopLocked();
}

void SdkState::enterForeground() {
    LockGuard guard(m_lock);
    if (!m_started) return;
    const int rc = _rebuildLocked();
    if (rc != RESULT_OK) {
        SystemLog::write("[KORVANE] lifecycle rebuild failed rc=%d %s", rc,
                         m_lastError.toUtf8().c_str());
    }
}

int SdkState::_rebuildLocked() {
    if (!m_started || m_savedConfig.isEmpty()) return RESULT_OK;
    if (!m_application) return _startLocked(m_savedDebugDir, m_savedAppDir, m_savedConfig);
    _stopLocked();
    if (m_started) return _startLocked(m_savedDebugDir, m_savedAppDir, m_savedConfig);
    return RESULT_OK;
}

}  // namespace tunnel
