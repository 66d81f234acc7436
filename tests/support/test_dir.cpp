#include "test_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

class ProcessDir {
  public:
    ProcessDir() : owner_(getpid()) {
        std::string templ =
            (std::filesystem::temp_directory_path() / "hexburn-test-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            std::perror(templ.c_str());
            std::abort();  // nowhere to write: no test can run
        }
        path_ = templ;
    }
    ~ProcessDir() {
        if (getpid() == owner_) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ProcessDir(const ProcessDir&) = delete;
    ProcessDir& operator=(const ProcessDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    pid_t owner_;
    std::string path_;
};

}  // namespace

const std::string& test_dir() {
    static const ProcessDir dir;
    return dir.path();
}

std::string test_path(const std::string& name) {
    return test_dir() + "/" + name;
}
