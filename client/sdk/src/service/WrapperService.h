#pragma once

#include <memory>
#include <string>

#include "core/src/value/String.h"
#include "tunnel_wrapper/ThreadedTunnelWrapper.h"

namespace tunnel {

class Application;

// Opens and closes the worker for its Application.
class WrapperService {
public:
    explicit WrapperService(Application* context);
    virtual ~WrapperService();
    WrapperService(const WrapperService&) = delete;
    WrapperService& operator=(const WrapperService&) = delete;

    // Blocks until the worker is up or has given up.
    bool open(const kx::core::String& applicationDir, const kx::core::String& accessKey,
              bool fastTick, ThreadedTunnelWrapper::StatusSink statusSink);
    void close();
    const kx::core::String& errorText() const { return m_errorText; }

    bool isOpened() const { return m_wrapper != nullptr; }

    // Another enciphered configuration for every later open (tests run their
    // own control API); the empty text restores the compiled-in one.
    static void overrideBuiltInConfig(const kx::core::String& text);

    // The version text the SDK presents to the control API and the switches.
    static kx::core::String clientVersion();

private:
    Application* m_context;  // not owned; owns this service
    std::unique_ptr<ThreadedTunnelWrapper> m_wrapper;
    kx::core::String m_errorText;
};

}  // namespace tunnel
