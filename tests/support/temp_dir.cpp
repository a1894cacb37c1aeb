#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace vxtest {

TempDir::TempDir(const std::string& tag) {
    std::string pattern = "/tmp/" + tag + ".XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;  // with its subdirectories (a sound server's runtime folder has some)
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace vxtest
