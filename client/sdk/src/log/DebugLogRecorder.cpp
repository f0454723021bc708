#include "log/DebugLogRecorder.h"

using kx::core::String;

namespace tunnel {

DebugLogRecorder::DebugLogRecorder(const String& directory, bool fileMode)
    : m_file(directory), m_fileMode(fileMode) {}

void DebugLogRecorder::info(const String& text) {
    if (m_fileMode) m_file.info(text);
}

void DebugLogRecorder::warn(const String& text) {
    if (m_fileMode) m_file.warn(text);
}

void DebugLogRecorder::error(const String& text) {
    if (m_fileMode) m_file.error(text);
}

}  // namespace tunnel
