#pragma once

#include <memory>

#include "core/src/value/Any.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"
#include "tunnel_wrapper/ThreadedTunnelWrapper.h"
#include "util/src/log/ThreadSafeLogRecorder.h"

namespace tunnel {

class DebugLogRecorder;
class WrapperService;

// One running SDK instance: its log, the host configuration it was started
// with, and the service that owns the worker.
class Application {
public:
    Application(std::unique_ptr<DebugLogRecorder> logRecorder,
                const kx::core::String& applicationDir,
                const kx::core::Dictionary<kx::core::Any>& config,
                ThreadedTunnelWrapper::StatusSink statusSink = ThreadedTunnelWrapper::StatusSink());
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    bool open();
    void close();
    virtual kx::util::ThreadSafeLogRecorder* getLogRecorder();

    const kx::core::String& errorText() const { return m_errorText; }
    const kx::core::String& applicationDir() const { return m_applicationDir; }
    WrapperService* wrapperService() { return m_wrapperService.get(); }

private:
    std::unique_ptr<DebugLogRecorder> m_debugLogRecorder;
    kx::util::ThreadSafeLogRecorder m_logRecorder;
    kx::core::String m_applicationDir;
    kx::core::Dictionary<kx::core::Any> m_config;
    ThreadedTunnelWrapper::StatusSink m_statusSink;
    std::unique_ptr<WrapperService> m_wrapperService;
    kx::core::String m_errorText;
};

}  // namespace tunnel
