#pragma once

#include "core/src/value/Binary.h"
#include "core/src/value/Map.h"
#include "core/src/value/String.h"

namespace tunnel {

// A small key/value file, enciphered as a whole under a key derived from the
// password (stored in clear when the password is empty). Every set rewrites
// the file. Entries are written as key "{" value "}\r\n" in key order.
//
// A file that exists but cannot be read back (wrong password, truncated,
// damaged) leaves the store empty and loadFailed() true; the first set then
// moves that file aside to path + ".bad" instead of overwriting it, so a token
// that is merely unreadable with this password is never lost.
class EncryptedProperties {
public:
    typedef kx::core::Map<kx::core::String, kx::core::String> Values;

    static const wchar_t* const APP_DIR_MARK;  // "%APP_DIR%"

    EncryptedProperties(const kx::core::String& path, const kx::core::String& password);
    virtual ~EncryptedProperties();

    // The value with "%APP_DIR%" expanded; empty for an unknown key.
    kx::core::String get(const kx::core::String& key) const;
    // Stores and saves. False (nothing changed) for an entry the file format
    // cannot carry back: an empty key, a key holding "{", "}" or a character
    // below 33, or a value whose braces do not balance. Also false when the
    // file could not be written (the value is kept in memory).
    bool set(const kx::core::String& key, const kx::core::String& value);

    const kx::core::String& path() const { return m_path; }
    bool loadFailed() const { return m_loadFailed; }
    // Why the last load or save failed; empty when both went well.
    const kx::core::String& errorText() const { return m_errorText; }

    // The codec, pure: text of the entries, and back. parse returns false when
    // the text ends inside an entry (the complete entries before it are kept).
    static kx::core::String serialize(const Values& raw);
    static bool parse(const kx::core::String& text, Values& raw);
    static bool canStore(const kx::core::String& key, const kx::core::String& value);

    // The directory the "%APP_DIR%" mark expands to.
    static kx::core::String appDirectory();

private:
    void _load();
    bool _save();
    void _expand();

    kx::core::String m_path;
    kx::core::String m_password;
    Values m_values;
    Values m_raw;
    bool m_loadFailed = false;
    kx::core::String m_errorText;
};

}  // namespace tunnel
