#include "TempDir.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <system_error>

namespace tw::test {

TempDir::TempDir(std::string_view prefix) {
    static std::atomic<int> counter{0};
    path_ =
        std::filesystem::temp_directory_path() /
        (std::string(prefix) + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored; // a test that failed half-way may leave files in use
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name, const std::string& text) const {
    const std::string path = PathOf(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

} // namespace tw::test
