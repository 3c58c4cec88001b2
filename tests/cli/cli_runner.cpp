#include "cli_runner.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qai::test {
namespace {

std::string inQuotes(const std::string& text) {
    std::string out = "\"";
    out += text;
    out += '"';
    return out;
}

// The program beside the test on Windows (both live in bin/), its build path elsewhere.
std::filesystem::path programPath() {
#if defined(_WIN32)
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, length)).parent_path() / "qai.exe";
#else
    return QAI_CLI_PROGRAM;
#endif
}

std::string stripCarriageReturns(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

// Debug builds of the library report diagnostics on standard error; they are
// not the program's output.
std::string withoutDiagnostics(const std::string& text) {
    std::string out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(start, 19, "libqai diagnostic: ") != 0) out.append(text, start, end - start);
        start = end;
    }
    return out;
}

}  // namespace

CliResult runQai(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 const std::string& input) {
    writeFile(dir / "stdin.txt", input);
    std::string command = inQuotes(programPath().string());
    for (const std::string& arg : args) {
        command += ' ';
        command += inQuotes(arg);
    }
    for (const auto& [redirect, name] :
         {std::pair{" < ", "stdin.txt"}, {" > ", "stdout.txt"}, {" 2> ", "stderr.txt"}}) {
        command += redirect;
        command += inQuotes((dir / name).string());
    }
    CliResult result;
#if defined(_WIN32)
    // cmd /c drops the outer pair of quotes of a line that starts with one.
    result.status = std::system(inQuotes(command).c_str());
#else
    int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    result.out = stripCarriageReturns(readFile(dir / "stdout.txt"));
    result.err = withoutDiagnostics(stripCarriageReturns(readFile(dir / "stderr.txt")));
    return result;
}

void setVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

TempDir::TempDir(const std::string& name) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() / ("qai_cli_" + name + "_" + std::to_string(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace qai::test
