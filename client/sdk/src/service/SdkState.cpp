#include "service/SdkState.h"

#include <cstring>

#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"
#include "core/src/thread/LockGuard.h"
#include "core/src/value/AnyConvert.h"
#include "core/src/value/AnyField.h"
#include "core/src/value/Array.h"
#include "log/DebugLogRecorder.h"
#include "platform/PlatformPaths.h"
#include "platform/SystemLog.h"
#include "service/Application.h"
#include "util/src/log/ConsolePrinter.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyConvert;
using kx::core::AnyDictionary;
using kx::core::AnyField;
using kx::core::Dictionary;
using kx::core::JsonBuilder;
using kx::core::JsonParser;
using kx::core::LockGuard;
using kx::core::String;

namespace tunnel {

namespace {

std::string jsonText(const AnyDictionary& value) {
    String text;
    JsonBuilder::buildText(value, text);
    return text.toStdString();
}

std::string targetEvent(const wchar_t* name, int64_t targetId) {
    AnyDictionary event;
    event.set(L"event", Any(name));
    event.set(L"target_id", Any(targetId));
    return jsonText(event);
}

}  // namespace

SdkState& SdkState::instance() {
    static SdkState state;
    return state;
}

SdkState::SdkState()
    : m_lifecycle(&m_center, this), m_started(false), m_running(false), m_keepInBackground(false) {
    // The host's standard output is its own; console lines go to the system log.
    kx::util::ConsolePrinter::setSink(&SystemLog::line);
    _buildSnapshotLocked();
}

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

void SdkState::setListener(ListenerNotifier::Listener listener, void* context) {
    m_notifier.setListener(listener, context);
}

void SdkState::recordError(const String& text) {
    _setError(text);
}

void SdkState::_setError(const String& text) {
    std::string utf8 = text.toStdString();
    {
        std::lock_guard<std::mutex> guard(m_snapshotMutex);
        if (utf8 == m_errorText) return;
        m_errorText = utf8;
    }
    if (text.isEmpty()) return;
    AnyDictionary event;
    event.set(L"event", Any(L"error"));
    event.set(L"error", Any(text));
    m_notifier.post(jsonText(event));
}

std::string SdkState::error() const {
    std::lock_guard<std::mutex> guard(m_snapshotMutex);
    return m_errorText;
}

std::string SdkState::status() const {
    std::lock_guard<std::mutex> guard(m_snapshotMutex);
    return m_statusText;
}

int SdkState::start(const char* configJson) {
    LockGuard guard(m_lock);
    _setError(String());
    const String debugDir = debugDirectory();
    const String appDir = applicationDirectory();
    const String configText =
        configJson ? String::fromUtf8(configJson, std::strlen(configJson)) : String();
    const int rc = _startLocked(debugDir, appDir, configText);
    if (rc != KORVANE_OK) return rc;
    m_started = true;
    {
        std::lock_guard<std::mutex> snapshot(m_snapshotMutex);
        _buildSnapshotLocked();
    }
    m_lifecycle.install();
    return KORVANE_OK;
}

int SdkState::_startLocked(const String& debugDir, const String& appDir,
                           const String& configText) {
    if (m_application) {
        _setError(L"[SDK] Already started");
        return KORVANE_ALREADY_STARTED;
    }
    Dictionary<Any> config;
    if (!JsonParser::parseDictionary(configText, config)) {
        _setError(L"[SDK] Invalid config JSON");
        return KORVANE_INVALID_CONFIG;
    }
    m_keepInBackground = false;
    if (config.contains(L"lifecycle_keep_enabled")) {
        m_keepInBackground = AnyConvert::toBool(config.get(L"lifecycle_keep_enabled"));
    }
    const bool logEnabled = AnyConvert::toBool(config.get(L"log_enabled"));

    AnyDictionary starting;
    starting.set(L"state", Any(L"starting"));
    _setWorkerStatus(&starting);

    std::unique_ptr<DebugLogRecorder> recorder(new DebugLogRecorder(debugDir, logEnabled));
    m_application.reset(new Application(std::move(recorder), appDir, config,
                                        [this](const AnyDictionary& root) { _onWorkerStatus(root); }));
    if (m_application->open()) {
        m_savedDebugDir = debugDir;
        m_savedAppDir = appDir;
        m_savedConfig = configText;
        m_running = true;
        return KORVANE_OK;
    }
    const String error = m_application->errorText();
    m_application.reset();
    _setWorkerStatus(nullptr);
    _setError(error);
    return KORVANE_OPEN_FAILED;
}

int SdkState::stop() {
    LockGuard guard(m_lock);
    _setError(String());
    m_started = false;
    m_savedConfig.clear();
    m_lifecycle.uninstall();
    _stopLocked("stop");
    return KORVANE_OK;
}

void SdkState::_stopLocked(const char* reason) {
    if (!m_application) return;
    m_application->close();
    m_application.reset();
    m_running = false;
    _setWorkerStatus(nullptr);
    AnyDictionary event;
    event.set(L"event", Any(L"stopped"));
    event.set(L"reason", Any(String::fromUtf8(reason)));
    m_notifier.post(jsonText(event));
}

void SdkState::_setWorkerStatus(const AnyDictionary* root) {
    std::lock_guard<std::mutex> guard(m_snapshotMutex);
    m_hasWorkerStatus = root != nullptr;
    m_workerStatus = root ? *root : AnyDictionary();
    if (!root) m_targets.clear();
    _buildSnapshotLocked();
}

void SdkState::_buildSnapshotLocked() {
    AnyDictionary out = m_hasWorkerStatus ? m_workerStatus : AnyDictionary();
    out.set(L"started", Any(m_started.load()));
    out.set(L"running", Any(m_running.load()));
    if (!out.contains(L"targets")) out.set(L"targets", Any(AnyArray()));
    String text;
    if (!JsonBuilder::buildText(out, text)) text = L"{\"started\":false,\"running\":false}";
    m_statusText = text.toStdString();
}

void SdkState::_onWorkerStatus(const AnyDictionary& root) {
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> guard(m_snapshotMutex);
        const Any targets = root.get(L"targets");
        if (targets.is<AnyArray>()) {
            const AnyArray& list = targets.as<AnyArray>();
            for (int32_t i = 0; i < list.size(); ++i) {
                if (!list[i].is<AnyDictionary>()) continue;
                const AnyDictionary& target = list[i].as<AnyDictionary>();
                const int64_t id = AnyField::int64(target, L"target_id");
                const bool open = AnyField::text(target, L"state") == String(L"open");
                const int64_t failovers = AnyField::int64(target, L"failovers");
                TargetView& view = m_targets[id];
                const bool failedOver = failovers > view.failovers;
                // A switch lost and replaced between two statuses still reads
                // as lost, then open, then the failover.
                if (view.open && (!open || failedOver))
                    events.push_back(targetEvent(L"tunnel_lost", id));
                if (open && (!view.open || failedOver)) {
                    events.push_back(targetEvent(L"tunnel_open", id));
                    if (failedOver) {
                        AnyDictionary event;
                        event.set(L"event", Any(L"failover"));
                        event.set(L"target_id", Any(id));
                        event.set(L"failovers", Any(failovers));
                        events.push_back(jsonText(event));
                    }
                }
                view.open = open;
                if (open || !failedOver) view.failovers = failovers;
            }
        }
        m_hasWorkerStatus = true;
        m_workerStatus = root;
        _buildSnapshotLocked();
    }
    for (std::string& event : events) m_notifier.post(std::move(event));
}

void SdkState::enterBackground() {
    LockGuard guard(m_lock);
    if (!m_started || m_keepInBackground) return;
    _stopLocked("background");
    std::lock_guard<std::mutex> snapshot(m_snapshotMutex);
    _buildSnapshotLocked();
}

void SdkState::enterForeground() {
    LockGuard guard(m_lock);
    if (!m_started) return;
    const int rc = _rebuildLocked();
    if (rc != KORVANE_OK) {
        SystemLog::write("[KORVANE] lifecycle rebuild failed rc=%d %s", rc, error().c_str());
    }
    std::lock_guard<std::mutex> snapshot(m_snapshotMutex);
    _buildSnapshotLocked();
}

int SdkState::_rebuildLocked() {
    if (!m_started || m_savedConfig.isEmpty()) return KORVANE_OK;
    if (m_application) _stopLocked("rebuild");
    return _startLocked(m_savedDebugDir, m_savedAppDir, m_savedConfig);
}

}  // namespace tunnel
