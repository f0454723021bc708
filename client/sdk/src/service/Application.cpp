#include "service/Application.h"

#include "core/src/value/AnyConvert.h"
#include "log/DebugLogRecorder.h"
#include "service/WrapperService.h"

using kx::core::Any;
using kx::core::AnyConvert;
using kx::core::Dictionary;
using kx::core::String;

namespace tunnel {

Application::Application(std::unique_ptr<DebugLogRecorder> logRecorder,
                         const String& applicationDir, const Dictionary<Any>& config,
                         ThreadedTunnelWrapper::StatusSink statusSink)
    : m_debugLogRecorder(std::move(logRecorder)),
      m_logRecorder(m_debugLogRecorder.get()),
      m_applicationDir(applicationDir),
      m_config(config),
      m_statusSink(std::move(statusSink)),
      m_wrapperService(new WrapperService(this)) {}

Application::~Application() {
    close();
    // The service logs through m_logRecorder while it closes: it goes first.
    m_wrapperService.reset();
}

kx::util::ThreadSafeLogRecorder* Application::getLogRecorder() {
    return &m_logRecorder;
}

bool Application::open() {
    m_errorText.clear();
    const String accessKey = AnyConvert::toText(m_config.get(L"access_key"));
    const bool fastTick = AnyConvert::toBool(m_config.get(L"fast_tick_enabled"));
    const bool opened = m_wrapperService->open(m_applicationDir, accessKey, fastTick, m_statusSink);
    if (!opened) m_errorText = m_wrapperService->errorText();
    return opened;
}

void Application::close() {
    m_errorText.clear();
    if (m_wrapperService) m_wrapperService->close();
}

}  // namespace tunnel
