#pragma once
// A small test runner for the scan daemon's tests (no Qt in the daemon).
//
//   SCAN_TEST(lockFrameOneBit) { CHECK_EQ(frame[8], 1); }
//
// CHECK and CHECK_EQ record a failure with file and line and let the test go on;
// REQUIRE stops the current test. Exactly one source file of a test program
// defines SCAN_TEST_MAIN before including this header; its main() runs every
// registered test (or those whose names contain argv[1]), prints
// "N passed, M failed" and exits non-zero when anything failed.

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace scan_test {

struct TestCase {
    const char *name;
    std::function<void()> body;
};

inline std::vector<TestCase> &registry()
{
    static std::vector<TestCase> tests;
    return tests;
}

// Failures of the test that is running; reset per test.
inline int &currentFailures()
{
    static int failures = 0;
    return failures;
}

struct Registrar {
    Registrar(const char *name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

struct RequireFailed {};

inline void reportFailure(const char *file, int line, const std::string &what)
{
    std::fprintf(stderr, "  FAIL %s:%d: %s\n", file, line, what.c_str());
    ++currentFailures();
}

template <typename T>
std::string show(const T &value)
{
    std::ostringstream out;
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> || std::is_same_v<T, char>)
        out << static_cast<int>(value);
    else if constexpr (std::is_enum_v<T>)
        out << static_cast<long long>(value);
    else
        out << value;
    return out.str();
}

inline std::string show(const std::string &value)
{
    return "\"" + value + "\"";
}

inline std::string show(const char *value)
{
    return value ? "\"" + std::string(value) + "\"" : std::string("(null)");
}

template <typename A, typename B>
bool checkEqual(const A &actual, const B &expected, const char *actualText, const char *expectedText, const char *file,
                int line)
{
    if (actual == expected)
        return true;
    reportFailure(file, line,
                  std::string(actualText) + " == " + expectedText + " (got " + show(actual) + ", expected " +
                      show(expected) + ")");
    return false;
}

inline int runAll(int argc, char **argv)
{
    const char *filter = argc > 1 ? argv[1] : nullptr;
    int passed = 0;
    int failed = 0;
    for (const TestCase &test : registry()) {
        if (filter && !std::strstr(test.name, filter))
            continue;
        currentFailures() = 0;
        std::fprintf(stderr, "RUN  %s\n", test.name);
        try {
            test.body();
        } catch (const RequireFailed &) {
        } catch (const std::exception &error) {
            reportFailure(__FILE__, __LINE__, std::string("exception: ") + error.what());
        }
        if (currentFailures() == 0) {
            ++passed;
            std::fprintf(stderr, "PASS %s\n", test.name);
        } else {
            ++failed;
            std::fprintf(stderr, "FAIL %s\n", test.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    if (passed + failed == 0) {
        std::printf("no test ran\n");
        return 1;
    }
    return failed == 0 ? 0 : 1;
}

} // namespace scan_test

#define SCAN_TEST_CONCAT_INNER(a, b) a##b
#define SCAN_TEST_CONCAT(a, b) SCAN_TEST_CONCAT_INNER(a, b)

#define SCAN_TEST(name)                                                                                     \
    static void name();                                                                                     \
    static scan_test::Registrar SCAN_TEST_CONCAT(registrar_, name)(#name, name);                            \
    static void name()

#define CHECK(condition)                                                                                    \
    do {                                                                                                    \
        if (!(condition))                                                                                   \
            scan_test::reportFailure(__FILE__, __LINE__, "CHECK(" #condition ")");                          \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                          \
    scan_test::checkEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)

// Stops the current test when the condition fails (later steps depend on it).
#define REQUIRE(condition)                                                                                  \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            scan_test::reportFailure(__FILE__, __LINE__, "REQUIRE(" #condition ")");                        \
            throw scan_test::RequireFailed{};                                                               \
        }                                                                                                   \
    } while (0)

#ifdef SCAN_TEST_MAIN
int main(int argc, char **argv)
{
    return scan_test::runAll(argc, argv);
}
#endif
