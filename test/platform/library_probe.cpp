// Started by the library tests with a chosen loader search path: loads argv[1], calls the
// int(void) entry point argv[2] and prints "<result> <loaded path>". Exit 1: not loaded,
// 2: no such entry point (the error text goes to stderr).
#include "platform/library.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        return 3;
    }
    std::string error;
    auto library = ostrel::platform::Library::load(argv[1], &error);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    auto entry = library->function<int (*)()>(argv[2], &error);
    if (entry == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::printf("%d %s\n", entry(), library->path().c_str());
    return 0;
}
