// A fresh folder under /tmp for a test's files, removed with everything in it at the end.
#pragma once

#include <string>

namespace vxtest {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "vxtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace vxtest
