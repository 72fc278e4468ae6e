// The release library exports exactly its C interface, carries a soname, and holds no test code.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExports = {
    "CANopenDLL_Startup", "CANopenDLL_Shutdown",
    "Hardware_EnumerateHardware", "Hardware_EnumerateNetworks", "Hardware_AddNetwork", "Hardware_DeleteNetwork",
    "Hardware_GetBaudrate", "Hardware_Initialize", "Hardware_SwitchNetworks", "Hardware_Close", "Hardware_Reset",
    "Hardware_GetCurrentTime", "Hardware_ErrorFrames", "Hardware_OneShot", "Hardware_SelfReceive",
    "Hardware_IsNetworkFunctional",
    "Event_Receive", "Event_MajorError", "Event_Transmit",
    "CAN_Transmit",
    "CANopen_SDOUpload", "CANopen_SDODownload", "CANopen_NMT", "CANopen_ScanNetwork", "CANopen_MassExpeditedWrite",
    "CANopen_FindLSSSlave", "CANopen_SetLSSSlaveConfig", "CANopen_SetLSSSlaveBitTiming",
    "CANopen_UseLSSSlaveBitTiming", "CANopen_Cancel",
    "CANopen_SetSDOTimeout", "CANopen_SetScanMassOperationDelay", "CANopen_SetBlockSegmentWriteDelay",
    "CANopen_SetPostTransmitDelay", "CANopen_SetSDOConfig", "CANopen_SetLSSTimings", "CANopen_SDOChannels",
    "CANopen_SetSDOChannelsTimeout", "CANopen_SetSDOChannel",
    "CANopenMonitor_Start", "CANopenMonitor_Stop", "CANopenMonitor_SDO", "CANopenMonitor_EventHaveData",
    "CANopenServer_Startup", "CANopenServer_Shutdown",
    "CANopenConfig_WriteDCF", "CANopenConfig_WriteNCF",
    "LSSFastScan_ScanAndConfig",
};

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return {};
    }
    std::string output;
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) {
        output.append(buffer, n);
    }
    return output;
}

TEST(DrennicSharedLibrary, ExportsExactlyTheInterfaceFunctions) {
    ASSERT_EQ(kExports.size(), 48u);
    const std::string listing = run(std::string("nm -D --defined-only ") + DRENNIC_LIBRARY_FILE);
    ASSERT_FALSE(listing.empty()) << "nm gave nothing for " << DRENNIC_LIBRARY_FILE;

    std::set<std::string> exported;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty()) {  // an undefined-address line has only two fields
            name = type;
            type = address;
        }
        EXPECT_EQ(type, "T") << name;
        exported.insert(name);
    }
    EXPECT_EQ(exported, kExports);
}

TEST(DrennicSharedLibrary, CarriesItsSoname) {
    const std::string dynamic = run(std::string("readelf -d ") + DRENNIC_LIBRARY_FILE);
    EXPECT_NE(dynamic.find("Library soname: [libdrennic.so."), std::string::npos) << dynamic;
}

TEST(DrennicSharedLibrary, ContainsNoTestBus) {
    const std::string symbols = run(std::string("nm -C ") + DRENNIC_LIBRARY_FILE);
    ASSERT_NE(symbols.find("CAN_Transmit"), std::string::npos);  // the symbol table is there
    EXPECT_EQ(symbols.find("TestBus"), std::string::npos);
    EXPECT_EQ(symbols.find("busTransmit"), std::string::npos);
}

} // namespace
