#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <cctype>
#include <string>

#include "core/src/misc/DateTime.h"
#include "core/src/misc/FileUtil.h"
#include "core/src/misc/GUID.h"
#include "core/src/misc/RandomAccessFile.h"

using namespace kx::core;

namespace {
// Runs a test body under a fixed time zone, restoring the previous one.
class ZoneScope {
public:
    explicit ZoneScope(const char* tz) {
        const char* old = getenv("TZ");
        m_had = old != nullptr;
        if (old) m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneScope() {
        if (m_had) {
            setenv("TZ", m_old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_had;
    std::string m_old;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kx_core_test_XXXXXX";
        m_path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!m_path.empty()) system(("rm -rf '" + m_path + "'").c_str());
    }
    String path(const char* rest = "") const { return String::fromUtf8(m_path + rest); }

private:
    std::string m_path;
};
}  // namespace

TEST(GUID, TextIsThirtyTwoLowerHexDigitsInFieldOrder) {
    GUID g;
    g.data1 = 0x1234abcd;
    g.data2 = 0x0102;
    g.data3 = 0xa0b0;
    for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(i * 0x11);
    EXPECT_EQ(g.toString().toStdString(),
              "1234abcd0102a0b000112233445566"
              "77");

    GUID a = GUID::create(), b = GUID::create();
    EXPECT_NE(a, b);
    std::string text = a.toString().toStdString();
    ASSERT_EQ(text.size(), 32u);
    for (char c : text) EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << text;
}

TEST(DateTime, TextsInUtc) {
    ZoneScope zone("UTC");
    DateTime t(1709283907);  // 2024-03-01 09:05:07 UTC
    EXPECT_EQ(t.timeText().toStdString(), "09:05:07");
    EXPECT_EQ(t.dateText().toStdString(), "2024-03-01");
    EXPECT_EQ(t.dateTimeText().toStdString(), "2024-03-01 09:05:07");
    EXPECT_EQ(DateTime(0).dateTimeText().toStdString(), "1970-01-01 00:00:00");
    EXPECT_EQ(DateTime(1709164800).dateText().toStdString(), "2024-02-29");  // leap day
    EXPECT_EQ(DateTime::fromLocal(2024, 3, 1, 9, 5, 7).seconds(), 1709283907);
}

TEST(DateTime, LocalStandardTimeIgnoresDaylightSaving) {
    ZoneScope zone("EST5EDT");
    // 2024-07-03 09:46:40 UTC: EDT would read 05:46:40, standard time reads 04:46:40.
    EXPECT_EQ(DateTime(1720000000).dateTimeText().toStdString(), "2024-07-03 04:46:40");
    // Just after midnight UTC the local date is still the previous day.
    EXPECT_EQ(DateTime(1709251200 + 60).dateText().toStdString(), "2024-02-29");
    DateTime t = DateTime::fromLocal(2024, 3, 1, 9, 5, 7);
    EXPECT_EQ(t.seconds(), 1709283907 + 5 * 3600);
    EXPECT_EQ(t.timeText().toStdString(), "09:05:07");
}

TEST(FileUtil, DirectoriesAndWholeFiles) {
    TempDir tmp;
    const String dir = tmp.path("/a/b/c");
    EXPECT_TRUE(FileUtil::makeDirectories(dir));
    EXPECT_TRUE(FileUtil::makeDirectories(dir));  // existing is fine
    EXPECT_TRUE(FileUtil::isDirectory(dir));

    const String file = dir + L"/f.txt";
    Binary data;
    EXPECT_FALSE(FileUtil::readAll(file, data));
    EXPECT_TRUE(FileUtil::append(file, Binary("one,")));
    EXPECT_TRUE(FileUtil::append(file, Binary("two")));
    ASSERT_TRUE(FileUtil::readAll(file, data));
    EXPECT_EQ(data.toStdString(), "one,two");
    EXPECT_TRUE(FileUtil::writeAll(file, Binary("new")));
    ASSERT_TRUE(FileUtil::readAll(file, data));
    EXPECT_EQ(data.toStdString(), "new");

    // A file in the way of a directory.
    EXPECT_FALSE(FileUtil::makeDirectories(file + L"/sub"));

    const String moved = tmp.path("/moved.txt");
    EXPECT_TRUE(FileUtil::rename(file, moved));
    EXPECT_FALSE(FileUtil::exists(file));
    EXPECT_TRUE(FileUtil::exists(moved));
    EXPECT_TRUE(FileUtil::remove(moved));
    EXPECT_FALSE(FileUtil::remove(moved));
    EXPECT_EQ(FileUtil::directoryOf(String(L"/x/y/z.lock")), String(L"/x/y"));
    EXPECT_EQ(FileUtil::directoryOf(String(L"plain")), String());
}

TEST(RandomAccessFile, OffsetsAndExclusiveLock) {
    TempDir tmp;
    const String path = tmp.path("/lock");
    const int rw = RandomAccessFile::MODE_READ | RandomAccessFile::MODE_WRITE;
    RandomAccessFile a;
    EXPECT_FALSE(a.open(path, rw));  // missing, no create
    ASSERT_TRUE(a.open(path, rw | RandomAccessFile::MODE_CREATE));
    EXPECT_FALSE(a.open(path, rw));  // already open
    EXPECT_TRUE(a.write(0, Binary("0123456789")));
    EXPECT_TRUE(a.write(4, Binary("AB")));
    char buf[16] = {};
    EXPECT_EQ(a.read(2, buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "23AB67");
    EXPECT_EQ(a.read(10, buf, 4), 0);
    EXPECT_EQ(a.size(), 10);
    EXPECT_TRUE(a.truncate(3));
    EXPECT_EQ(a.size(), 3);

    ASSERT_TRUE(a.tryLockExclusive());
    RandomAccessFile b;
    ASSERT_TRUE(b.open(path, rw));
    EXPECT_FALSE(b.tryLockExclusive());
    a.close();  // releases the lock
    EXPECT_TRUE(b.tryLockExclusive());
    EXPECT_EQ(a.read(0, buf, 1), -1);
    EXPECT_FALSE(a.write(0, Binary("x")));
}
