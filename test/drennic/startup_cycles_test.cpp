// Starting and stopping the library many times in one process leaves nothing behind: no mapping of
// the interface library, no open file, no heap block (LeakSanitizer in the sanitizer build, the
// allocator's in-use count otherwise).
#include "library_fixture.h"

#include "testbus.h"

#include <dirent.h>
#include <malloc.h>

#include <fstream>
#include <string>

namespace drennic::test {
namespace {

constexpr int kCycles = 1000;
constexpr int kWarmUpCycles = 100;
// The C library may keep a block or two that it frees later (the loader, a thread that is still
// exiting); anything left per cycle would add up to at least 32 bytes x kCycles.
constexpr std::size_t kHeapSlack = 4096;

void expectNoHeapGrowth(std::size_t before, std::size_t after) {
    EXPECT_LE(after, before + kHeapSlack) << "heap in use grew by " << (after - before) << " bytes";
}

std::size_t countMappingsOf(const std::string& fileName) {
    std::ifstream in("/proc/self/maps");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(fileName) != std::string::npos) {
            ++lines;
        }
    }
    return lines;
}

std::size_t heapInUse() {
#ifdef OSTREL_SANITIZER_BUILD
    return 0;  // the sanitizer's allocator keeps its own books and checks for leaks at exit
#else
    return mallinfo2().uordblks;
#endif
}

std::size_t countOpenFiles() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

TEST_F(DrennicLibrary, ThousandStartupShutdownCyclesWithInterfaceLibraryLeaveNothingBehind) {
    // Some cycles first, so that what the loader creates once and keeps counts as before.
    for (int i = 0; i < kWarmUpCycles; ++i) {
        CANopenDLL_Startup(0, u"my_wince_drv.dll");
        ASSERT_TRUE(libraryStatus().driverPresent);
        CANopenDLL_Shutdown();
    }
    ASSERT_EQ(countMappingsOf("libmy_wince_drv.so"), 0u);  // also sets up what the file reading keeps
    const std::size_t files = countOpenFiles();
    const std::size_t heap = heapInUse();

    for (int i = 0; i < kCycles; ++i) {
        CANopenDLL_Startup(0, u"my_wince_drv.dll");
        ASSERT_TRUE(libraryStatus().driverPresent) << "cycle " << i;
        CANopenDLL_Shutdown();
        ASSERT_FALSE(libraryStatus().started) << "cycle " << i;
    }

    EXPECT_EQ(countMappingsOf("libmy_wince_drv.so"), 0u);
    EXPECT_EQ(countOpenFiles(), files);
    expectNoHeapGrowth(heap, heapInUse());
}

TEST_F(DrennicLibrary, ThousandStartupShutdownCyclesOnTheBusLeaveNothingBehind) {
    TestBus bus;
    // One full cycle first: the first engine thread leaves the C library's per-thread caches behind.
    CANopenDLL_Startup(1, u"");
    ResultBlock warmUp{};
    Hardware_Initialize(1, u"client", 0, 0, &warmUp);
    Hardware_Close();
    CANopenDLL_Shutdown();
    const std::size_t files = countOpenFiles();
    const std::size_t heap = heapInUse();
    for (int i = 0; i < kCycles; ++i) {
        CANopenDLL_Startup(1, u"");
        ResultBlock result{};
        Hardware_Initialize(1, u"client", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK) << "cycle " << i;
        Hardware_Close();
        CANopenDLL_Shutdown();
    }
    EXPECT_EQ(bus.counters().initDriver, kCycles + 1);
    EXPECT_EQ(bus.counters().closeDriver, kCycles + 1);
    EXPECT_EQ(countOpenFiles(), files);
    expectNoHeapGrowth(heap, heapInUse());
}

} // namespace
} // namespace drennic::test
