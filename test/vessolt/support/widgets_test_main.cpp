// gtest main with a QApplication on the offscreen platform, for the tests of widgets and windows.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Without a run-time folder Qt makes one in the temporary folder, and it stays there: the tests
    // get one of their own, removed at the end.
    std::string runtime;
    const char* given = std::getenv("XDG_RUNTIME_DIR");
    if (given == nullptr || *given == '\0') {
        runtime = (std::filesystem::temp_directory_path() / "vessolt-runtime-XXXXXX").string();
        if (::mkdtemp(runtime.data()) != nullptr)
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        else
            runtime.clear();
    }
    int result = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    if (!runtime.empty())
        std::filesystem::remove_all(runtime, ignored);
    return result;
}
