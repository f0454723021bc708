#include "service/WrapperService.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "core/src/debug/Assert.h"
#include "core/src/misc/FileUtil.h"
#include "service/Application.h"
#include "tunnel_wrapper/BuiltInConfig.h"
#include "tunnel_wrapper/ThreadedTunnelWrapper.h"

using kx::core::String;

namespace tunnel {

namespace {

// mkdir -p with mode 0777 (the umask applies); true when path ends up a directory.
bool makeDirectories(const String& path) {
    const std::string utf8 = path.toStdString();
    for (size_t i = 1; i <= utf8.size(); ++i) {
        if (i != utf8.size() && utf8[i] != '/') continue;
        const std::string part = utf8.substr(0, i);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) break;
    }
    return kx::core::FileUtil::isDirectory(path);
}

std::mutex g_configMutex;
String g_configOverride;  // empty: the compiled-in text

String builtInConfigText() {
    std::lock_guard<std::mutex> guard(g_configMutex);
    return g_configOverride.isEmpty() ? String::fromUtf8(BuiltInConfig::text()) : g_configOverride;
}

}  // namespace

void WrapperService::overrideBuiltInConfig(const String& text) {
    std::lock_guard<std::mutex> guard(g_configMutex);
    g_configOverride = text;
}

WrapperService::WrapperService(Application* context) : m_context(context) {
    KX_ASSERT(m_context);
}

WrapperService::~WrapperService() {
    close();
}

String WrapperService::clientVersion() {
    String version;
    for (const wchar_t* part : {L"ios", L"-", L"1.1.2", L":", L"sdk-ios", L"-", L"3.2.3"}) {
        version += part;
    }
    return version;
}

bool WrapperService::open(const String& applicationDir, const String& accessKey, bool fastTick,
                          ThreadedTunnelWrapper::StatusSink statusSink) {
    m_errorText.clear();
    if (m_wrapper) {
        m_errorText = L"Already opened";
        return false;
    }
    kx::util::ThreadSafeLogRecorder* log = m_context->getLogRecorder();
    if (!makeDirectories(applicationDir)) {
        m_errorText = String(L"Can not create dir: ") + applicationDir;
        log->error(String(L"[SDK] Can not create dir: ") + applicationDir);
        return false;
    }

    m_wrapper.reset(new ThreadedTunnelWrapper(log, builtInConfigText(), applicationDir,
                                              accessKey, String(), clientVersion(), fastTick,
                                              std::move(statusSink)));
    if (m_wrapper->isOpened()) {
        log->info(L"[SDK] opened");
        return true;
    }
    m_errorText = m_wrapper->errorText();
    m_wrapper.reset();
    // The host must always learn why; the worker names every reason it knows.
    if (m_errorText.isEmpty()) m_errorText = L"[SDK] Failed to open";
    log->info(String(L"[SDK] Failed to open: ") + m_errorText);
    return false;
}

void WrapperService::close() {
    m_errorText.clear();
    if (!m_wrapper) return;
    m_wrapper.reset();
    m_context->getLogRecorder()->info(L"[SDK] closed");
}

}  // namespace tunnel
