#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "korvane.h"

// Every test gets its own Documents and temporary directories through the
// platform's environment variables, and leaves the SDK stopped: the C API
// keeps process-wide state.
class SdkTestEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-sdk-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        documents = root + "/documents";
        temporary = root + "/tmp";
        ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);  // a temporary directory always exists
        setEnv("KORVANE_DOCUMENTS_DIR", documents.c_str());
        setEnv("TMPDIR", temporary.c_str());
    }

    void TearDown() override {
        korvane_stop();
        for (auto& saved : m_saved) {
            if (saved.second.first) {
                setenv(saved.first.c_str(), saved.second.second.c_str(), 1);
            } else {
                unsetenv(saved.first.c_str());
            }
        }
        const std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // Sets (or with null, unsets) a variable until the end of the test.
    void setEnv(const char* name, const char* value) {
        if (!m_saved.count(name)) {
            const char* old = getenv(name);
            m_saved[name] = {old != nullptr, old ? old : ""};
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }

    std::string appDir() const { return documents + "/Korvane"; }
    std::string debugDir() const { return temporary + "/.debug"; }

    std::string root;
    std::string documents;
    std::string temporary;

private:
    std::map<std::string, std::pair<bool, std::string>> m_saved;
};
