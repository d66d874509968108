#include "platform/profile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile_testing.h"
#include "tests/support/temp_dir.h"

using platform::GetPrivateProfileInt;
using platform::GetPrivateProfileString;
using platform::WritePrivateProfileString;

using namespace std::string_literals;

namespace {

std::string Get(const char* section, const char* key, const std::string& path,
                const char* def = "<default>") {
    return GetPrivateProfileString(section, key, def, path);
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    return names;
}

class ProfileFile : public ::testing::Test {
protected:
    std::string Path() const { return tmp_.File("test.ini"); }
    void Put(const std::string& bytes) const { tmp_.Write("test.ini", bytes); }
    std::string Bytes() const { return tmp_.Read("test.ini"); }
    testing_support::TempDir tmp_;
};

}  // namespace

TEST_F(ProfileFile, NamesAreCaseInsensitiveTrimmedAndFirstMatchWins) {
    Put("  [Connection]  \r\n"
        "  Port =  COM3  \r\n"
        "port=COM9\r\n"
        "[connection]\r\n"
        "port=COM7\r\n"
        "baud=9600\r\n");
    EXPECT_EQ(Get("CONNECTION", "PORT", Path()), "COM3");
    EXPECT_EQ(Get(" connection ", " port ", Path()), "COM3");
    // A key only in the later duplicate section is still found.
    EXPECT_EQ(Get("connection", "baud", Path()), "9600");
    EXPECT_EQ(Get("connection", "missing", Path()), "<default>");
    EXPECT_EQ(Get("other", "port", Path()), "<default>");
    EXPECT_EQ(GetPrivateProfileString("other", "port", nullptr, Path()), "");
}

TEST_F(ProfileFile, QuotesCommentsAndOddLines) {
    Put("key=before any section\n"
        "[s]\n"
        "; port=commented\n"
        "# port=hashed\n"
        "no equals sign here\n"
        "dq=\"  spaced  \"\n"
        "sq='single'\n"
        "mixed=\"half'\n"
        "lone=\"\n"
        "inner=a \"b\" c\n"
        "empty=\n"
        "[broken\n"
        "x=in broken\n");
    EXPECT_EQ(Get("s", "port", Path()), "<default>");
    EXPECT_EQ(Get("s", "; port", Path()), "<default>");
    EXPECT_EQ(Get("s", "no equals sign here", Path()), "<default>");
    EXPECT_EQ(Get("s", "dq", Path()), "  spaced  ");
    EXPECT_EQ(Get("s", "sq", Path()), "single");
    EXPECT_EQ(Get("s", "mixed", Path()), "\"half'");
    EXPECT_EQ(Get("s", "lone", Path()), "\"");
    EXPECT_EQ(Get("s", "inner", Path()), "a \"b\" c");
    EXPECT_EQ(Get("s", "empty", Path()), "");
    EXPECT_EQ(Get("", "key", Path()), "<default>");
    EXPECT_EQ(Get("broken", "x", Path()), "in broken");
}

TEST_F(ProfileFile, BufferedReadCopiesAtMostSizeMinusOne) {
    Put("[s]\r\nk=abcdef\r\n");
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", buf, 4, Path()), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", buf, 1, Path()), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", buf, sizeof buf, Path()), 6u);
    EXPECT_STREQ(buf, "abcdef");
    EXPECT_EQ(GetPrivateProfileString("s", "none", "defaultlong", buf, sizeof buf, Path()), 7u);
    EXPECT_STREQ(buf, "default");
    // A default loses its trailing blanks, not its leading ones.
    EXPECT_EQ(GetPrivateProfileString("s", "none", " def  ", buf, sizeof buf, Path()), 4u);
    EXPECT_STREQ(buf, " def");
    EXPECT_EQ(GetPrivateProfileString("s", "none", "   ", Path()), "");
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", nullptr, 10, Path()), 0u);
}

TEST_F(ProfileFile, IntegersConvertLeadingDigitsAndDefaultOnlyWhenMissingOrEmpty) {
    Put("[n]\r\nplain=42\r\nneg=-3\r\ntext=abc\r\ntrail=2x\r\nspaced=  7  \r\nempty=\r\n"
        "quoted=\"5\"\r\nhuge=99999999999\r\nsmall=-99999999999\r\nwrapped=4294967298\r\n"
        "all=4294967295\r\nlong=123456789012345678901234567890\r\nplus=+8\r\n"
        "signonly=- 5\r\nhex=0x10\r\n");
    const std::string p = Path();
    EXPECT_EQ(GetPrivateProfileInt("n", "plain", 9, p), 42);
    EXPECT_EQ(GetPrivateProfileInt("n", "neg", 9, p), -3);
    EXPECT_EQ(GetPrivateProfileInt("n", "text", 9, p), 0);
    EXPECT_EQ(GetPrivateProfileInt("n", "trail", 9, p), 2);
    EXPECT_EQ(GetPrivateProfileInt("n", "spaced", 9, p), 7);
    EXPECT_EQ(GetPrivateProfileInt("n", "empty", 9, p), 9);
    EXPECT_EQ(GetPrivateProfileInt("n", "quoted", 9, p), 5);
    EXPECT_EQ(GetPrivateProfileInt("n", "missing", 9, p), 9);
    // Long numbers wrap to their low 32 bits; they are not clamped.
    EXPECT_EQ(GetPrivateProfileInt("n", "huge", 9, p), 1215752191);
    EXPECT_EQ(GetPrivateProfileInt("n", "small", 9, p), -1215752191);
    EXPECT_EQ(GetPrivateProfileInt("n", "wrapped", 9, p), 2);
    EXPECT_EQ(GetPrivateProfileInt("n", "all", 9, p), -1);
    EXPECT_EQ(GetPrivateProfileInt("n", "long", 9, p), 1312754386);
    EXPECT_EQ(GetPrivateProfileInt("n", "plus", 9, p), 8);
    EXPECT_EQ(GetPrivateProfileInt("n", "signonly", 9, p), 0);
    EXPECT_EQ(GetPrivateProfileInt("n", "hex", 9, p), 0);
    EXPECT_EQ(GetPrivateProfileInt("n", "plain", 9, tmp_.File("absent.ini")), 9);
}

TEST_F(ProfileFile, WriteKeepsEverythingElseAndUsesCrLf) {
    Put("; settings\n"
        "[a]\n"
        "one=1\n"
        "# keep me\n"
        "Two = 2\n"
        "\n"
        "[b]\n"
        "x=y\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "two", "22", Path()));
    ASSERT_TRUE(WritePrivateProfileString("a", "three", "3", Path()));
    ASSERT_TRUE(WritePrivateProfileString("c", "new", "n", Path()));
    EXPECT_EQ(Bytes(),
              "; settings\r\n"
              "[a]\r\n"
              "one=1\r\n"
              "# keep me\r\n"
              "Two=22\r\n"
              "three=3\r\n"
              "\r\n"
              "[b]\r\n"
              "x=y\r\n"
              "[c]\r\n"
              "new=n\r\n");
    // A duplicate key: only the first (the one that is read) changes.
    Put("[s]\r\nk=1\r\nk=2\r\n");
    ASSERT_TRUE(WritePrivateProfileString("s", "K", "9", Path()));
    EXPECT_EQ(Bytes(), "[s]\r\nk=9\r\nk=2\r\n");
}

TEST_F(ProfileFile, MissingFileIsCreatedButNotItsDirectory) {
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "v", Path()));
    EXPECT_EQ(Bytes(), "[s]\r\nk=v\r\n");

    const std::string deep = tmp_.File("nodir/test.ini");
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", deep));
    EXPECT_EQ(errno, ENOENT);
    struct stat st {};
    EXPECT_NE(stat(tmp_.File("nodir").c_str(), &st), 0);
    EXPECT_EQ(Get("s", "k", deep), "<default>");
}

TEST_F(ProfileFile, NullValueDeletesKeyAndNullKeyDeletesSection) {
    Put("[a]\r\nk=1\r\nother=2\r\n[b]\r\nk=3\r\n[A]\r\nk=4\r\nz=5\r\n");
    ASSERT_TRUE(WritePrivateProfileString("a", "k", nullptr, Path()));
    EXPECT_EQ(Get("a", "k", Path()), "<default>");
    EXPECT_EQ(Get("a", "z", Path()), "5");
    EXPECT_EQ(Get("b", "k", Path()), "3");
    ASSERT_TRUE(WritePrivateProfileString("A", nullptr, nullptr, Path()));
    EXPECT_EQ(Bytes(), "[b]\r\nk=3\r\n");
    // Deleting from a file that does not exist does not create it.
    EXPECT_TRUE(WritePrivateProfileString("a", "k", nullptr, tmp_.File("none.ini")));
    EXPECT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, tmp_.File("none.ini")));
    struct stat st {};
    EXPECT_NE(stat(tmp_.File("none.ini").c_str(), &st), 0);
}

TEST_F(ProfileFile, NamesThatCouldNotBeReadBackAreRefused) {
    Put("[s]\r\nk=1\r\n");
    const char* bad_keys[] = {"", "  ", "a=b", ";x", "#x", "[x"};
    for (const char* key : bad_keys) {
        errno = 0;
        EXPECT_FALSE(WritePrivateProfileString("s", key, "v", Path())) << key;
        EXPECT_EQ(errno, EINVAL) << key;
    }
    EXPECT_FALSE(WritePrivateProfileString("", "k", "v", Path()));
    EXPECT_FALSE(WritePrivateProfileString("a]b", "k", "v", Path()));
    EXPECT_FALSE(WritePrivateProfileString(nullptr, "k", "v", Path()));
    EXPECT_EQ(Bytes(), "[s]\r\nk=1\r\n");
}

TEST_F(ProfileFile, LongLinesAreReadAndKept) {
    const std::string v300(300, 'q');
    const std::string mb(1 << 20, 'm');
    Put("[s]\nshort=" + v300 + "\nbig=" + mb + "\n[t]\nafter=ok\n");
    char buf[256];
    EXPECT_EQ(GetPrivateProfileString("s", "short", "", buf, sizeof buf, Path()), 255u);
    EXPECT_EQ(std::string(buf), v300.substr(0, 255));
    EXPECT_EQ(Get("s", "short", Path()), v300);
    EXPECT_EQ(Get("s", "big", Path()), mb);
    EXPECT_EQ(Get("t", "after", Path()), "ok");
    ASSERT_TRUE(WritePrivateProfileString("t", "after", "changed", Path()));
    EXPECT_EQ(Get("s", "big", Path()), mb);
    ASSERT_TRUE(WritePrivateProfileString("s", "big", (mb + "x").c_str(), Path()));
    EXPECT_EQ(Get("s", "big", Path()), mb + "x");
}

TEST_F(ProfileFile, ByteOrderMarkAndNulBytes) {
    Put("\xEF\xBB\xBF[s]\r\nk=1\r\n; a\0comment\r\nv=a\0b\r\nw=2\r\n"s);
    EXPECT_EQ(Get("s", "k", Path()), "1");
    EXPECT_EQ(Get("s", "w", Path()), "2");
    EXPECT_EQ(Get("s", "v", Path()), "a\0b"s);
    char buf[16];
    EXPECT_EQ(GetPrivateProfileString("s", "v", "", buf, sizeof buf, Path()), 3u);
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "7", Path()));
    const std::string bytes = Bytes();
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(bytes.find("; a\0comment\r\n"s), std::string::npos);
    EXPECT_EQ(Get("s", "k", Path()), "7");
    EXPECT_EQ(Get("s", "v", Path()), "a\0b"s);
}

TEST_F(ProfileFile, LineBreaksAndBackslashesSurviveARoundTrip) {
    const std::string comment = "first line\r\nsecond\\line\nthird\rend\\";
    ASSERT_TRUE(WritePrivateProfileString("documentation", "comment", comment.c_str(), Path()));
    ASSERT_TRUE(WritePrivateProfileString("documentation", "after", "x", Path()));
    EXPECT_EQ(Bytes(),
              "[documentation]\r\n"
              "comment=first line\\r\\nsecond\\\\line\\nthird\\rend\\\\\r\n"
              "after=x\r\n");
    EXPECT_EQ(Get("documentation", "comment", Path()), comment);
    EXPECT_EQ(Get("documentation", "after", Path()), "x");
    // Hand-written files without escapes read as before.
    Put("[p]\r\npath=C:\\temp\\data\r\ntail=end\\\r\n");
    EXPECT_EQ(Get("p", "path", Path()), "C:\\temp\\data");
    EXPECT_EQ(Get("p", "tail", Path()), "end\\");
}

TEST_F(ProfileFile, ListsSectionAndKeyNames) {
    Put("[one]\r\na=1\r\nB=2\r\nb=3\r\n[two]\r\n[ONE]\r\nc=4\r\n");
    EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", Path()), "one\0two\0"s);
    EXPECT_EQ(GetPrivateProfileString("one", nullptr, "", Path()), "a\0B\0c\0"s);
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(GetPrivateProfileString("one", nullptr, "", buf, sizeof buf, Path()), 6u);
    EXPECT_EQ(std::string(buf, 7), "a\0B\0c\0\0"s);
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(GetPrivateProfileString(nullptr, nullptr, "", buf, 7, Path()), 5u);
    EXPECT_EQ(std::string(buf, 8), "one\0t\0\0X"s);
    EXPECT_EQ(GetPrivateProfileString("two", nullptr, "", buf, sizeof buf, Path()), 0u);
    EXPECT_EQ(buf[0], 0);

    // A long section: every later spelling of a name already listed is left out,
    // however far down the list that name is.
    std::string file = "[many]\r\n", expected;
    for (int i = 0; i < 80; ++i) {
        file += "k" + std::to_string(i) + "=1\r\nK" + std::to_string(i / 2) + "=2\r\n";
        expected += "k" + std::to_string(i) + '\0';
    }
    Put(file);
    EXPECT_EQ(GetPrivateProfileString("many", nullptr, "", Path()), expected);
}

TEST_F(ProfileFile, KeepsLinksAndPermissions) {
    Put("[s]\r\nk=1\r\n");
    ASSERT_EQ(chmod(Path().c_str(), 0640), 0);
    const std::string link = tmp_.File("link.ini");
    ASSERT_EQ(symlink(Path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "2", link));
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Get("s", "k", Path()), "2");
}

TEST_F(ProfileFile, AFileThatCannotBeReadIsNotReplaced) {
    ASSERT_EQ(mkdir(Path().c_str(), 0777), 0);
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", Path()));
    EXPECT_EQ(errno, EISDIR);
    struct stat st {};
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

namespace {

// Writes half of what it is given, then fails as a full disk does.
ssize_t HalfThenDiskFull(int fd, const void* data, size_t size) {
    static thread_local bool failed_once = false;
    if (!failed_once && size > 1) {
        failed_once = true;
        return ::write(fd, data, size / 2);
    }
    failed_once = false;
    errno = ENOSPC;
    return -1;
}

// Writes half, then the process dies before the save completes.
ssize_t HalfThenCrash(int fd, const void* data, size_t size) {
    ::write(fd, data, size / 2);
    _exit(3);
}

}  // namespace

TEST_F(ProfileFile, AFailedSaveLeavesTheOldFileWhole) {
    const std::string old = "; mine\r\n[s]\r\nk=old\r\nother=" + std::string(5000, 'o') + "\r\n";
    Put(old);
    platform::SetProfileWriteFunctionForTesting(HalfThenDiskFull);
    errno = 0;
    bool ok = WritePrivateProfileString("s", "k", "new", Path());
    int err = errno;
    platform::SetProfileWriteFunctionForTesting(nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, ENOSPC);
    EXPECT_EQ(Bytes(), old);
    EXPECT_EQ(DirectoryEntries(tmp_.path()), std::vector<std::string>{"test.ini"});
    // The next save works normally.
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "new", Path()));
    EXPECT_EQ(Get("s", "k", Path()), "new");
}

TEST_F(ProfileFile, ACrashDuringASaveLeavesTheOldFileWhole) {
    const std::string old = "[s]\r\nk=old\r\nother=" + std::string(5000, 'o') + "\r\n";
    Put(old);
    EXPECT_EXIT(
        {
            platform::SetProfileWriteFunctionForTesting(HalfThenCrash);
            WritePrivateProfileString("s", "k", "new", Path());
            _exit(0);
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_EQ(Bytes(), old);
    EXPECT_EQ(Get("s", "k", Path()), "old");
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "new", Path()));
    EXPECT_EQ(Get("s", "other", Path()), std::string(5000, 'o'));
}

TEST_F(ProfileFile, ConcurrentWritersLoseNoKey) {
    Put("; shared\r\n[keep]\r\nme=1\r\n");
    constexpr int kWrites = 60;
    auto writer = [this](const char* section) {
        for (int i = 0; i < kWrites; ++i) {
            std::string key = "k" + std::to_string(i);
            EXPECT_TRUE(WritePrivateProfileString(section, key.c_str(), section, Path()));
        }
    };
    std::thread a(writer, "alpha");
    std::thread b(writer, "beta");
    // Readers during the writes always see a whole file.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(Get("keep", "me", Path()), "1");
    a.join();
    b.join();
    for (int i = 0; i < kWrites; ++i) {
        std::string key = "k" + std::to_string(i);
        EXPECT_EQ(Get("alpha", key.c_str(), Path()), "alpha") << key;
        EXPECT_EQ(Get("beta", key.c_str(), Path()), "beta") << key;
    }
    EXPECT_EQ(DirectoryEntries(tmp_.path()), std::vector<std::string>{"test.ini"});
}
