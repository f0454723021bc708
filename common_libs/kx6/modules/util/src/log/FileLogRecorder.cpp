#include "util/src/log/FileLogRecorder.h"

#include "core/src/misc/FileUtil.h"
#include "util/src/log/ConsolePrinter.h"

using kx::core::Binary;
using kx::core::DateTime;
using kx::core::FileUtil;
using kx::core::String;

namespace kx {
namespace util {

FileLogRecorder::FileLogRecorder(const String& directory) : m_directory(directory) {}

void FileLogRecorder::info(const String& text) {
    record(Level::INFO, text, _now());
}

void FileLogRecorder::warn(const String& text) {
    record(Level::WARN, text, _now());
}

void FileLogRecorder::error(const String& text) {
    record(Level::ERROR, text, _now());
}

DateTime FileLogRecorder::_now() const {
    return clock ? clock() : DateTime::now();
}

void FileLogRecorder::record(Level level, const String& text, const DateTime& time) {
    const String clockText = time.timeText();
    const String date = time.dateText();

    const wchar_t* tag = L"TIP";
    const wchar_t* console = L" ";
    const wchar_t* extra = nullptr;
    if (level == Level::WARN) {
        tag = L"WARN";
        console = L" <WARN> ";
        extra = L"warn";
    } else if (level == Level::ERROR) {
        tag = L"ERROR";
        console = L" <ERR> ";
        extra = L"error";
    }

    String line;
    line.reserve(clockText.length() + text.length() + 12);
    line += clockText;
    line += L'\t';
    line += tag;
    line += L'\t';
    line += text;
    line += L"\r\n";
    const Binary utf8 = line.toUtf8();

    _appendTo(L"log", date, utf8);
    if (extra) _appendTo(extra, date, utf8);

    if (consoleEnabled) ConsolePrinter::print(clockText + console + text);
}

void FileLogRecorder::_appendTo(const wchar_t* subdirectory, const String& date,
                                const Binary& line) {
    String dir = m_directory + L"/" + subdirectory;
    if (!FileUtil::makeDirectories(dir)) return;
    FileUtil::append(dir + L"/" + date + L".log", line);
}

}  // namespace util
}  // namespace kx
