#pragma once

#include <stdlib.h>

#include <string>

#include "core/src/value/String.h"

namespace tunnel {
namespace testing {

// A fresh directory under the temporary directory, removed with everything
// in it when the object goes.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/korvane-wrapper-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_path = made ? made : "";
    }
    ~TempDir() {
        if (!m_path.empty()) {
            const std::string command = "rm -rf '" + m_path + "'";
            if (system(command.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    kx::core::String text() const { return kx::core::String::fromUtf8(m_path); }
    kx::core::String file(const char* name) const {
        return kx::core::String::fromUtf8(m_path + "/" + name);
    }

private:
    std::string m_path;
};

}  // namespace testing
}  // namespace tunnel
