#include "tunnel_host/ConsoleLogRecorder.h"

#include "core/src/misc/DateTime.h"
#include "util/src/log/ConsolePrinter.h"

namespace tunnel {

void ConsoleLogRecorder::info(const kx::core::String& text) {
    _print(L" ", text);
}

void ConsoleLogRecorder::warn(const kx::core::String& text) {
    _print(L" <WARN> ", text);
}

void ConsoleLogRecorder::error(const kx::core::String& text) {
    _print(L" <ERR> ", text);
}

void ConsoleLogRecorder::print(const kx::core::String& text) {
    _print(L" ", text);
}

void ConsoleLogRecorder::_print(const wchar_t* tag, const kx::core::String& text) {
    kx::util::ConsolePrinter::print(kx::core::DateTime::now().timeText() + tag + text);
}

}  // namespace tunnel
