#include "tunnel_launcher/EncryptedProperties.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/src/crypto/Tea.h"
#include "core/src/debug/AssertReporter.h"
#include "core/src/misc/FileUtil.h"

namespace tunnel {

using kx::core::Binary;
using kx::core::FileUtil;
using kx::core::String;
using kx::core::Tea;

const wchar_t* const EncryptedProperties::APP_DIR_MARK = L"%APP_DIR%";

namespace {

// The store holds a token and a few settings; anything far larger is not ours.
const int64_t MAX_FILE_SIZE = 1024 * 1024;

String replaceAll(const String& text, const String& mark, const String& with) {
    int32_t at = text.indexOf(mark);
    if (at < 0) return text;
    String out;
    int32_t from = 0;
    while (at >= 0) {
        out += text.substring(from, at - from);
        out += with;
        from = at + mark.length();
        at = text.indexOf(mark, from);
    }
    out += text.substring(from);
    return out;
}

}  // namespace

EncryptedProperties::EncryptedProperties(const String& path, const String& password)
    : m_path(path), m_password(password) {
    _load();
}

EncryptedProperties::~EncryptedProperties() = default;

String EncryptedProperties::get(const String& key) const { return m_values.get(key); }

bool EncryptedProperties::set(const String& key, const String& value) {
    if (!canStore(key, value)) return false;
    m_raw.set(key, value);
    _expand();
    return _save();
}

String EncryptedProperties::appDirectory() {
    String exe = String::fromUtf8(kx::core::AssertReporter::executablePath());
    String dir = FileUtil::directoryOf(exe);
    if (!dir.isEmpty()) return dir;
    // Without the /proc link: the working directory, the closest stand-in.
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) return String::fromUtf8(cwd);
    return L".";
}

bool EncryptedProperties::canStore(const String& key, const String& value) {
    if (key.isEmpty()) return false;
    for (wchar_t c : key) {
        if (c < 33 || c == L'{' || c == L'}') return false;
    }
    // The value ends at the brace matching the opening one, so its own braces
    // must balance or the file would hand back a different value.
    int32_t depth = 0;
    for (wchar_t c : value) {
        if (c == L'{') ++depth;
        if (c == L'}' && --depth < 0) return false;
    }
    return depth == 0;
}

String EncryptedProperties::serialize(const Values& raw) {
    String text;
    for (const auto& entry : raw) {
        text += entry.first;
        text += L'{';
        text += entry.second;
        text += L"}\r\n";
    }
    return text;
}

bool EncryptedProperties::parse(const String& text, Values& raw) {
    const int32_t n = text.length();
    int32_t i = 0;
    while (i < n) {
        while (i < n && text[i] < 33) ++i;
        if (i >= n) return true;
        int32_t keyStart = i;
        while (i < n && text[i] != L'{') {
            if (text[i] < 33) keyStart = i + 1;
            ++i;
        }
        if (i >= n) return keyStart >= n;  // only blanks after the last entry
        String key = text.substring(keyStart, i - keyStart);
        int32_t valueStart = ++i;
        int32_t depth = 1;
        while (i < n) {
            if (text[i] == L'{') ++depth;
            else if (text[i] == L'}' && --depth == 0) break;
            ++i;
        }
        if (i >= n) return false;
        raw.set(key, text.substring(valueStart, i - valueStart));
        ++i;
    }
    return true;
}

void EncryptedProperties::_expand() {
    m_values.clear();
    const String dir = appDirectory();
    for (const auto& entry : m_raw) m_values.set(entry.first, replaceAll(entry.second, APP_DIR_MARK, dir));
}

void EncryptedProperties::_load() {
    m_values.clear();
    m_raw.clear();
    m_loadFailed = false;
    m_errorText.clear();
    if (!FileUtil::exists(m_path)) return;

    auto fail = [this](const wchar_t* why) {
        m_raw.clear();
        m_values.clear();
        m_loadFailed = true;
        m_errorText = String(why) + m_path;
    };
    struct stat info;
    std::string utf8Path = m_path.toStdString();
    if (::stat(utf8Path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > MAX_FILE_SIZE) {
        fail(L"Property file is not readable: ");
        return;
    }
    Binary data;
    if (!FileUtil::readAll(m_path, data)) {
        fail(L"Property file is not readable: ");
        return;
    }
    if (data.isEmpty()) return;
    if (!m_password.isEmpty()) {
        Binary plain;
        if (!Tea::decrypt(data, Tea::key16(m_password), plain)) {
            fail(L"Property file cannot be deciphered: ");
            return;
        }
        data.swap(plain);
    }
    String text = String::fromUtf8(data);
    if (text.isEmpty() && !data.isEmpty()) {
        fail(L"Property file cannot be deciphered: ");
        return;
    }
    if (!parse(text, m_raw)) {
        fail(L"Property file is truncated: ");
        return;
    }
    // Only this class writes enciphered files, always in the one canonical
    // form; any other text there means a wrong password or damaged bytes.
    if (!m_password.isEmpty() && serialize(m_raw) != text) {
        fail(L"Property file is damaged: ");
        return;
    }
    _expand();
}

bool EncryptedProperties::_save() {
    Binary data = serialize(m_raw).toUtf8();
    if (!m_password.isEmpty()) {
        Binary cipher;
        if (!Tea::encrypt(data, Tea::key16(m_password), cipher)) {
            m_errorText = L"Property file cannot be enciphered: " + m_path;
            return false;
        }
        data.swap(cipher);
    }
    String dir = FileUtil::directoryOf(m_path);
    if (!dir.isEmpty() && !FileUtil::isDirectory(dir)) FileUtil::makeDirectories(dir);

    // Keep the unreadable file rather than overwrite what may be a good token.
    if (m_loadFailed && FileUtil::exists(m_path)) {
        if (!FileUtil::rename(m_path, m_path + L".bad")) {
            m_errorText = L"Property file cannot be moved aside: " + m_path;
            return false;
        }
    }
    // Write a sibling and rename it over the file: a crash mid-write must not
    // leave a truncated token file behind.
    const String temp = m_path + L".tmp";
    if (!FileUtil::writeAll(temp, data) || !FileUtil::rename(temp, m_path)) {
        FileUtil::remove(temp);
        m_errorText = L"Property file cannot be written: " + m_path;
        return false;
    }
    m_loadFailed = false;
    m_errorText.clear();
    return true;
}

}  // namespace tunnel
