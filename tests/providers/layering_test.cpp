// Every include between the library's subsystems points down:
// boundary -> providers -> core/properties -> transport -> foundation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

TEST(Layering, EveryIncludePointsDown) {
    const std::map<std::string, int> level = {{"boundary", 4},   {"providers", 3}, {"core", 2},
                                              {"properties", 2}, {"transport", 1}, {"cf", 0}};
    const std::filesystem::path sources = std::filesystem::path(QAI_TEST_FIXTURES) / "../../libqai/src";
    size_t checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sources)) {
        if (!entry.is_regular_file()) continue;
        const std::string from = entry.path().parent_path().filename().string();
        ASSERT_TRUE(level.count(from)) << entry.path();
        std::ifstream file(entry.path());
        for (std::string line; std::getline(file, line);) {
            if (line.rfind("#include \"", 0) != 0) continue;
            const std::string target = line.substr(10, line.find('/', 10) - 10);
            if (line.find('/') == std::string::npos) continue;  // "qai.h": the public types
            ASSERT_TRUE(level.count(target)) << entry.path() << ": " << line;
            EXPECT_LE(level.at(target), level.at(from)) << entry.path() << ": " << line;
            ++checked;
        }
    }
    EXPECT_GT(checked, 50u);
}

}  // namespace
