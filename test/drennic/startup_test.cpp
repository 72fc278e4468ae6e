// Library start-up and shut-down: which driver a mode and a name select, when a driver is started,
// and that shut-down withdraws the driver and unloads its library.
#include "library_fixture.h"

#include <platform/library.h>

#include <dlfcn.h>

#include <atomic>
#include <string>
#include <tuple>

namespace drennic::test {
namespace {

// Stands in for whichever driver a kind selects, counting what the library asks of it.
struct Probe {
    static inline std::atomic<int> initDriver{0};
    static inline std::atomic<int> closeDriver{0};
    static inline std::atomic<int> enumerateHardware{0};

    static void fill(DriverOps& ops) {
        ops = unavailableDriverOps();
        ops.InitDriver = [] {
            ++initDriver;
            return int32_t{0};
        };
        ops.CloseDriver = [] { ++closeDriver; };
        ops.EnumerateHardware = [](HardwareInfo*, int32_t) {
            ++enumerateHardware;
            return int32_t{1};
        };
    }
};

class DrennicStartup : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        Probe::initDriver = 0;
        Probe::closeDriver = 0;
        Probe::enumerateHardware = 0;
        for (DriverKind kind : {DriverKind::ServerClient, DriverKind::Kobalapi2, DriverKind::HiCanPci,
                                DriverKind::KobalPlsapi2, DriverKind::WinCE}) {
            (void)replaceDriverFill(kind, Probe::fill);
        }
    }
};

// Whether the loader holds a library (without loading it).
bool isLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// ---- Selection by mode and upper-cased name ----

using SelectionCase = std::tuple<int32_t, std::u16string, DriverKind>;

class DrennicDriverSelection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(DrennicDriverSelection, ModeAndUpperCasedNameChooseTheDriver) {
    const auto& [mode, name, expected] = GetParam();
    EXPECT_EQ(selectDriverKind(mode, name), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DrennicDriverSelection,
    ::testing::Values(SelectionCase{0, u"KOBALAPI2.DLL", DriverKind::Kobalapi2},
                      SelectionCase{0, u"HICANPCI.DLL", DriverKind::HiCanPci},
                      SelectionCase{0, u"KOBALPLSAPI2.DLL", DriverKind::KobalPlsapi2},
                      SelectionCase{0, u"MY_WINCE_DRV.DLL", DriverKind::WinCE},
                      SelectionCase{0, u"WINCE", DriverKind::WinCE},
                      SelectionCase{0, u"/OPT/CAN/LIBWINCEAPI.SO", DriverKind::WinCE},
                      // The vendor names must match whole, not as a part of another name.
                      SelectionCase{0, u"XKOBALAPI2.DLL", DriverKind::None},
                      SelectionCase{0, u"KOBALAPI2.DLL.OLD", DriverKind::None},
                      SelectionCase{0, u"KOBALAPI2", DriverKind::None},
                      SelectionCase{0, u"WINC.DLL", DriverKind::None},
                      SelectionCase{0, u"", DriverKind::None},
                      // The names are compared after upper-casing; a lower-case name here is unusual.
                      SelectionCase{0, u"kobalapi2.dll", DriverKind::None},
                      SelectionCase{1, u"", DriverKind::ServerClient},
                      SelectionCase{1, u"KOBALAPI2.DLL", DriverKind::ServerClient},
                      SelectionCase{2, u"KOBALAPI2.DLL", DriverKind::None},
                      SelectionCase{-1, u"", DriverKind::None}));

// ---- Start-up ----

TEST_F(DrennicStartup, LowerCaseVendorNameIsUpperCasedAndMatched) {
    // The stand-in for that vendor library may or may not be installed beside the tests; the
    // library must be started exactly when it can be loaded.
    const bool available = ostrel::platform::Library::load("kobalapi2.dll") != nullptr;

    CANopenDLL_Startup(0, u"kobalapi2.dll");

    const LibraryStatus status = libraryStatus();
    EXPECT_TRUE(status.started);
    EXPECT_EQ(status.driverName, u"KOBALAPI2.DLL");
    EXPECT_EQ(status.selected, DriverKind::Kobalapi2);
    EXPECT_EQ(status.driverPresent, available);
    EXPECT_EQ(Probe::initDriver, available ? 1 : 0);
    if (!available) {
        EXPECT_EQ(Hardware_EnumerateHardware(nullptr, 0), DRN_NOT_INITIALIZED);
        EXPECT_EQ(Probe::enumerateHardware, 0);
    }
}

TEST_F(DrennicStartup, UpperCasingTouchesOnlyAsciiLetters) {
    CANopenDLL_Startup(0, u"my_wince_\u00e4rv-1.dll");
    EXPECT_EQ(libraryStatus().driverName, u"MY_WINCE_\u00e4RV-1.DLL");
}

TEST_F(DrennicStartup, WinceNameLoadsThatLibraryAndStartsTheDriver) {
    CANopenDLL_Startup(0, u"my_wince_drv.dll");

    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::WinCE);
    ASSERT_TRUE(status.driverPresent);
    EXPECT_NE(status.modulePath.find("libmy_wince_drv.so"), std::string::npos) << status.modulePath;
    EXPECT_TRUE(isLoaded(status.modulePath));
    EXPECT_EQ(Probe::initDriver, 1);
    EXPECT_EQ(Hardware_EnumerateHardware(nullptr, 0), 1);  // the exports reach the driver
    EXPECT_EQ(Probe::enumerateHardware, 1);
}

TEST_F(DrennicStartup, MissingLibraryLeavesTheDriverAbsentAndUnstarted) {
    CANopenDLL_Startup(0, u"wince_not_installed.dll");

    const LibraryStatus status = libraryStatus();
    EXPECT_TRUE(status.started);
    EXPECT_EQ(status.selected, DriverKind::WinCE);
    EXPECT_FALSE(status.driverPresent);
    EXPECT_EQ(Probe::initDriver, 0);
    EXPECT_EQ(Hardware_IsNetworkFunctional(), 0);
}

class DrennicUnknownDriver : public DrennicStartup,
                          public ::testing::WithParamInterface<std::tuple<int32_t, std::u16string>> {};

TEST_P(DrennicUnknownDriver, SelectsNoDriverAndNeverStartsOne) {
    const auto& [mode, name] = GetParam();
    CANopenDLL_Startup(mode, name.c_str());

    const LibraryStatus status = libraryStatus();
    EXPECT_TRUE(status.started);
    EXPECT_EQ(status.selected, DriverKind::None);
    EXPECT_FALSE(status.driverPresent);
    EXPECT_EQ(Probe::initDriver, 0);
    EXPECT_EQ(Hardware_EnumerateHardware(nullptr, 0), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Probe::enumerateHardware, 0);
    CANopenDLL_Shutdown();
    EXPECT_EQ(Probe::closeDriver, 0);
}

INSTANTIATE_TEST_SUITE_P(ModesAndNames, DrennicUnknownDriver,
                         ::testing::Values(std::make_tuple(0, std::u16string(u"some_can.dll")),
                                           std::make_tuple(0, std::u16string(u"")),
                                           std::make_tuple(2, std::u16string(u"kobalapi2.dll")),
                                           std::make_tuple(-1, std::u16string(u"my_wince_drv.dll"))));

TEST_F(DrennicStartup, ServerClientModeIsPresentWithoutLibraryAndKeepsAnEmptyName) {
    CANopenDLL_Startup(1, u"");

    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.selected, DriverKind::ServerClient);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_TRUE(status.driverName.empty());
    EXPECT_TRUE(status.modulePath.empty());
    EXPECT_EQ(Probe::initDriver, 1);
}

TEST_F(DrennicStartup, ServerClientModeKeepsTheUpperCasedNameForTheServer) {
    CANopenDLL_Startup(1, u"kobalapi2.dll");
    EXPECT_EQ(libraryStatus().driverName, u"KOBALAPI2.DLL");
    EXPECT_EQ(libraryStatus().selected, DriverKind::ServerClient);
}

TEST_F(DrennicStartup, SecondStartupDoesNothingEvenWithAnotherMode) {
    CANopenDLL_Startup(0, u"my_wince_drv.dll");
    CANopenDLL_Startup(1, u"");
    CANopenDLL_Startup(0, u"kobalapi2.dll");

    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.mode, 0);
    EXPECT_EQ(status.selected, DriverKind::WinCE);
    EXPECT_EQ(status.driverName, u"MY_WINCE_DRV.DLL");
    EXPECT_EQ(Probe::initDriver, 1);
}

TEST_F(DrennicStartup, NullNameDoesNothing) {
    CANopenDLL_Startup(1, nullptr);
    EXPECT_FALSE(libraryStatus().started);
    EXPECT_EQ(Probe::initDriver, 0);

    CANopenDLL_Startup(1, u"");  // and the library can still be started
    EXPECT_TRUE(libraryStatus().started);
}

// ---- Shut-down ----

TEST_F(DrennicStartup, ShutdownClosesTheDriverAndUnloadsItsLibrary) {
    CANopenDLL_Startup(0, u"my_wince_drv.dll");
    const std::string path = libraryStatus().modulePath;
    ASSERT_TRUE(isLoaded(path));

    CANopenDLL_Shutdown();

    EXPECT_EQ(Probe::closeDriver, 1);
    EXPECT_FALSE(isLoaded(path));
    const LibraryStatus status = libraryStatus();
    EXPECT_FALSE(status.started);
    EXPECT_FALSE(status.driverPresent);
    // No export reaches the driver any more.
    EXPECT_EQ(Hardware_EnumerateHardware(nullptr, 0), DRN_NOT_INITIALIZED);
    EXPECT_EQ(Probe::enumerateHardware, 0);
}

TEST_F(DrennicStartup, ShutdownWithoutStartupDoesNothing) {
    CANopenDLL_Shutdown();
    CANopenDLL_Shutdown();
    EXPECT_EQ(Probe::closeDriver, 0);
    EXPECT_FALSE(libraryStatus().started);
}

TEST_F(DrennicStartup, RestartAfterShutdownSelectsAgain) {
    CANopenDLL_Startup(1, u"");
    CANopenDLL_Shutdown();
    CANopenDLL_Startup(0, u"MY_WINCE_DRV.DLL");

    const LibraryStatus status = libraryStatus();
    EXPECT_EQ(status.mode, 0);
    EXPECT_EQ(status.selected, DriverKind::WinCE);
    EXPECT_TRUE(status.driverPresent);
    EXPECT_EQ(Probe::initDriver, 2);
    EXPECT_EQ(Probe::closeDriver, 1);
}

TEST_F(DrennicStartup, CallInFlightKeepsTheLibraryLoadedUntilItReturns) {
    CANopenDLL_Startup(0, u"my_wince_drv.dll");
    const std::string path = libraryStatus().modulePath;
    auto inFlight = currentDriver();  // as an export on another thread holds it during its call

    CANopenDLL_Shutdown();
    EXPECT_TRUE(isLoaded(path));
    EXPECT_EQ(Hardware_EnumerateHardware(nullptr, 0), DRN_NOT_INITIALIZED);

    inFlight.reset();
    EXPECT_FALSE(isLoaded(path));
}

} // namespace
} // namespace drennic::test
