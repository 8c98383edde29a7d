// Where the shared test data lives, for the C++ tests and benchmarks; the
// same rule as tests/support/testdata.py. The data folder holds
// yaml-test-suite/ and corpus/: it is the folder named by TESVORN_TEST_DATA
// when that is set, else the `shared` folder beside the repository
// (TESVORN_SOURCE_DIR is the repository, set by CMake). With
// TESVORN_REQUIRE_TEST_DATA=1 (set by `make test`) missing data fails a test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tesvorn::test_support {

/// Put before the message of a test skipped for want of data: CMake tells
/// CTest to count a test whose output holds it as not run (not as passed).
inline constexpr std::string_view kNotRun = "[not run] ";

inline std::filesystem::path test_data_root() {
    if (const char* env = std::getenv("TESVORN_TEST_DATA"); env != nullptr && *env != '\0')
        return env;
    return std::filesystem::path(TESVORN_SOURCE_DIR).parent_path() / "shared";
}

/// The folder of the data set `name` ("yaml-test-suite" or "corpus"), or none.
inline std::optional<std::filesystem::path> test_data(std::string_view name) {
    const std::filesystem::path dir = test_data_root() / name;
    const std::filesystem::path marker = name == "yaml-test-suite" ? dir / "cases" : dir;
    std::error_code ec;
    if (std::filesystem::is_directory(marker, ec)) return dir;
    return std::nullopt;
}

inline bool test_data_required() {
    const char* env = std::getenv("TESVORN_REQUIRE_TEST_DATA");
    return env != nullptr && std::string_view(env) == "1";
}

inline std::string test_data_missing(std::string_view name) {
    const std::filesystem::path dir = test_data_root() / name;
    const char* env = std::getenv("TESVORN_TEST_DATA");
    const std::string where = env != nullptr && *env != '\0'
                                  ? "$TESVORN_TEST_DATA"
                                  : "the 'shared' folder beside the repository";
    return "test data not found: " +
           (name == "yaml-test-suite" ? dir / "cases" : dir).generic_string() +
           " is not a folder. The data folder, holding yaml-test-suite/ and corpus/, is "
           "$TESVORN_TEST_DATA when set, else the 'shared' folder beside the repository; here " +
           where + ": " + test_data_root().generic_string();
}

}  // namespace tesvorn::test_support
