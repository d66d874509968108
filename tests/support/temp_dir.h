// A fresh directory under $TMPDIR, removed with everything in it at destruction.
#pragma once

#include <string>

namespace testing_support {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Whole-file helpers for tests.
    std::string Read(const std::string& name) const;
    void Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// Directory of committed test data (tests/data), from the environment CTest sets.
std::string TestDataDir();

}  // namespace testing_support
