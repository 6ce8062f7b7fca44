#pragma once

// A folder of a test's own for its files, removed with everything in it at the end.

#include <filesystem>
#include <string>
#include <string_view>

namespace tw::test {

/// A new, empty folder under the system's temporary folder, named after `prefix`, the process
/// and a counter, so that tests running side by side never share one; removed when it goes.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "tw_test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The folder.
    const std::filesystem::path& Dir() const { return path_; }
    /// The folder's path as text.
    std::string Path() const { return path_.string(); }
    /// The path of `name` in the folder (nothing is created).
    std::string PathOf(const std::string& name) const { return (path_ / name).string(); }
    /// Writes `text` to the file `name` in the folder and returns its path.
    std::string File(const std::string& name, const std::string& text = {}) const;

private:
    std::filesystem::path path_;
};

} // namespace tw::test
