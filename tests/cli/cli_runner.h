#pragma once
// Runs the built qai program as a subprocess, as a user would from a shell:
// given arguments and standard input, it collects the exit status, standard
// output and standard error.
#include <filesystem>
#include <string>
#include <vector>

namespace qai::test {

struct CliResult {
    int status = -1;
    std::string out, err;
};

/// Runs qai with args (each quoted; none may hold a double quote) and input on
/// standard input. Files go below dir.
CliResult runQai(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 const std::string& input = "");

/// Sets (or, for an empty value, removes) a variable the program inherits.
void setVariable(const char* name, const std::string& value);

/// A new empty directory for one test, removed by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string& name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

}  // namespace qai::test
