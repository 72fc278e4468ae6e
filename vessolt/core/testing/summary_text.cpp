#include "testing/summary_text.h"

#include <charconv>

namespace ostrel::vessolt {

namespace {

using T = SummaryTexts;

const std::string kNoValue = "-";

// "%.<precision>f" in the C locale: std::to_chars ignores the program's locale, and single-precision
// values are widened first, as a varargs call would.
std::string fixed(double value, int precision) {
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    if (ec != std::errc())
        return "?";
    return std::string(buf, end);
}

std::string ms(float v) { return fixed(v, 2) + " ms"; }
std::string percent(float v) { return fixed(v, 2) + " %"; }

std::string decimal(uint64_t v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    return std::string(buf, end);
}

std::string decimal(int32_t v) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    return std::string(buf, end);
}

std::string hex32WithText(uint32_t v, const std::string& text) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%8.8X ", static_cast<unsigned>(v));
    return buf + text;
}

std::string staticOrDynamic(uint32_t v) {
    switch (v) {
    case 1: return "Static";
    case 2: return "Dynamic";
    default: return kNoValue;
    }
}

std::string lssText(uint32_t v) {
    switch (v) {
    case 1: return "None";
    case 2: return "Slave";
    case 3: return "Master";
    default: return kNoValue;
    }
}

std::string yesNo(uint8_t v) { return v != 0 ? "Yes" : "No"; }

} // namespace

const SummaryLabel kSummaryLabels[kSummaryLabelCount] = {
    {"devicetype", "Device Type:", &T::devicetype},
    {"devicetypeadditional", "", &T::devicetypeadditional},
    {"manufacturer", "Vendor:", &T::manufacturer},
    {"manufacturerdept", "", &T::manufacturerdept},
    {"nodeid", "Node ID:", &T::nodeid},
    {"bootuptime", "Boot-up Time:", &T::bootuptime},
    {"lss", "LSS:", &T::lss},
    {"baudrate", "Baud Rate:", &T::baudrate},
    {"pdolinking", "PDO Linking:", &T::pdolinking},
    {"pdomapping", "PDO Mapping:", &T::pdomapping},
    {"rpdonum", "RPDOs:", &T::rpdonum},
    {"tpdonum", "TPDOs:", &T::tpdonum},
    {"sdoservernum", "SDO Servers:", &T::sdoservernum},
    {"sdoclientnum", "SDO Clients:", &T::sdoclientnum},
    {"nmtmaster", "NMT Master:", &T::nmtmaster},
    {"sdomanager", "SDO Manager:", &T::sdomanager},
    {"configmanager", "Config Manager:", &T::configmanager},
    {"autostart", "Autostart:", &T::autostart},
    {"syncconsumer", "Sync Consumer:", &T::syncconsumer},
    {"syncproducer", "Sync Producer:", &T::syncproducer},
    {"heartbeatconsumer", "Heartbeat Consumer:", &T::heartbeatconsumer},
    {"heartbeatproducer", "Heartbeat Producer:", &T::heartbeatproducer},
    {"nodeguarding", "Node Guarding:", &T::nodeguarding},
    {"storeparameters", "Store Parameters:", &T::storeparameters},
    {"emcyconsumer", "EMCY Consumer:", &T::emcyconsumer},
    {"emcyproducer", "EMCY Producer:", &T::emcyproducer},
    {"bootupmin", "Boot-up:", &T::bootupmin},
    {"bootupmax", "", &T::bootupmax},
    {"bootupaverage", "", &T::bootupaverage},
    {"bootuptries", "", &T::bootuptries},
    {"sdoresponsemin", "SDO Response:", &T::sdoresponsemin},
    {"sdoresponsemax", "", &T::sdoresponsemax},
    {"sdoresponseaverage", "", &T::sdoresponseaverage},
    {"sdoresponsetries", "", &T::sdoresponsetries},
    {"heartbeat100msmin", "100 ms Heartbeat:", &T::heartbeat100msmin},
    {"heartbeat100msmax", "", &T::heartbeat100msmax},
    {"heartbeat100msdev", "", &T::heartbeat100msdev},
    {"nodeguarding100msmin", "100 ms Node Grding:", &T::nodeguarding100msmin},
    {"nodeguarding100msmax", "", &T::nodeguarding100msmax},
    {"nodeguarding100msdiff", "", &T::nodeguarding100msdiff},
    {"eventtpdo100msmin", "100 ms Event TPDO:", &T::eventtpdo100msmin},
    {"eventtpdo100msmax", "", &T::eventtpdo100msmax},
    {"eventtpdo100msdev", "", &T::eventtpdo100msdev},
    {"eventtpdo100msave", "", &T::eventtpdo100msave},
    {"eventtpdo10msmin", "10 ms Event TPDO:", &T::eventtpdo10msmin},
    {"eventtpdo10msmax", "", &T::eventtpdo10msmax},
    {"eventtpdo10msdev", "", &T::eventtpdo10msdev},
    {"eventtpdo10msave", "", &T::eventtpdo10msave},
    {"synctpdo100msmin", "100 ms Sync TPDO:", &T::synctpdo100msmin},
    {"synctpdo100msmax", "", &T::synctpdo100msmax},
    {"synctpdo100msdiff", "", &T::synctpdo100msdiff},
    {"synctpdo100msave", "", &T::synctpdo100msave},
    {"synctpdo10msmin", "10 ms Sync TPDO:", &T::synctpdo10msmin},
    {"synctpdo10msmax", "", &T::synctpdo10msmax},
    {"synctpdo10msdiff", "", &T::synctpdo10msdiff},
    {"synctpdo10msave", "", &T::synctpdo10msave},
    {"peakmessagerate", "Peak Message Rate:", &T::peakmessagerate},
    {"maxbusload", "Max Bus Load:", &T::maxbusload},
    {"maxburstlength", "Max Burst Length:", &T::maxburstlength},
    {"compatibilityrating", "Compatibility Rating:", &T::compatibilityrating},
    {"performancerating", "Performance Rating:", &T::performancerating},
    {"reliabilityrating", "Reliability Rating:", &T::reliabilityrating},
};

SummaryTexts FormatSummary(const DeviceSummaryRecord& r, const SummaryNames& names) {
    SummaryTexts t;
    auto set = [&r](SummaryFlag flag, std::string& text, auto&& format) {
        text = r.flags[flag] ? std::string(format()) : kNoValue;
    };

    // The name model is asked only for values that are shown.
    if (r.flags[kFlagDeviceType]) {
        SummaryNames::TextPair deviceType = names.DeviceTypeText(r.devicetype);
        t.devicetype = hex32WithText(r.devicetype, deviceType.first);
        t.devicetypeadditional = std::move(deviceType.second);
    } else {
        t.devicetype = t.devicetypeadditional = kNoValue;
    }
    if (r.flags[kFlagVendor]) {
        SummaryNames::TextPair vendor = names.VendorText(r.vendor);
        t.manufacturer = hex32WithText(r.vendor, vendor.first);
        t.manufacturerdept = std::move(vendor.second);
    } else {
        t.manufacturer = t.manufacturerdept = kNoValue;
    }
    set(kFlagNodeId, t.nodeid, [&] {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%2.2X (%dd)", unsigned{r.nodeid}, int{r.nodeid});
        std::string text = buf;
        std::optional<std::string> name = names.NodeName(r.nodeid);
        if (name && !name->empty())
            text += " " + *name;
        return text;
    });
    set(kFlagBootupTime, t.bootuptime, [&] { return ms(r.bootuptime); });
    set(kFlagLss, t.lss, [&] { return lssText(r.lss); });
    set(kFlagBaudrate, t.baudrate, [&] {
        return r.baudrate == 1000 ? std::string("1Mbps") : decimal(uint64_t{r.baudrate}) + "kbps";
    });
    set(kFlagPdoLinking, t.pdolinking, [&] { return staticOrDynamic(r.pdolinking); });
    set(kFlagPdoMapping, t.pdomapping, [&] { return staticOrDynamic(r.pdomapping); });
    set(kFlagRpdoNum, t.rpdonum, [&] { return decimal(uint64_t{r.rpdonum}); });
    set(kFlagTpdoNum, t.tpdonum, [&] { return decimal(uint64_t{r.tpdonum}); });
    set(kFlagSdoServerNum, t.sdoservernum, [&] { return decimal(uint64_t{r.sdoservernum}); });
    set(kFlagSdoClientNum, t.sdoclientnum, [&] { return decimal(uint64_t{r.sdoclientnum}); });

    const struct {
        SummaryFlag flag;
        uint8_t DeviceSummaryRecord::*value;
        std::string SummaryTexts::*text;
    } booleans[] = {
        {kFlagNmtMaster, &DeviceSummaryRecord::nmtmaster, &T::nmtmaster},
        {kFlagSdoManager, &DeviceSummaryRecord::sdomanager, &T::sdomanager},
        {kFlagConfigManager, &DeviceSummaryRecord::configmanager, &T::configmanager},
        {kFlagAutoStart, &DeviceSummaryRecord::autostart, &T::autostart},
        {kFlagSyncConsumer, &DeviceSummaryRecord::syncconsumer, &T::syncconsumer},
        {kFlagSyncProducer, &DeviceSummaryRecord::syncproducer, &T::syncproducer},
        {kFlagHeartbeatConsumer, &DeviceSummaryRecord::heartbeatconsumer, &T::heartbeatconsumer},
        {kFlagHeartbeatProducer, &DeviceSummaryRecord::heartbeatproducer, &T::heartbeatproducer},
        {kFlagNodeGuarding, &DeviceSummaryRecord::nodeguarding, &T::nodeguarding},
        {kFlagStoreParameters, &DeviceSummaryRecord::storeparameters, &T::storeparameters},
        {kFlagEmcyConsumer, &DeviceSummaryRecord::emcyconsumer, &T::emcyconsumer},
        {kFlagEmcyProducer, &DeviceSummaryRecord::emcyproducer, &T::emcyproducer},
    };
    for (const auto& b : booleans)
        set(b.flag, t.*b.text, [&] { return yesNo(r.*b.value); });

    set(kFlagBootupGroup, t.bootupmin, [&] { return ms(r.bootup_min); });
    set(kFlagBootupGroup, t.bootupmax, [&] { return ms(r.bootup_max); });
    set(kFlagBootupGroup, t.bootupaverage, [&] { return ms(r.bootup_average); });
    set(kFlagBootupGroup, t.bootuptries, [&] { return decimal(uint64_t{r.bootup_numtries}); });
    set(kFlagSdoResponseGroup, t.sdoresponsemin, [&] { return ms(r.sdoresponse_min); });
    set(kFlagSdoResponseGroup, t.sdoresponsemax, [&] { return ms(r.sdoresponse_max); });
    set(kFlagSdoResponseGroup, t.sdoresponseaverage, [&] { return ms(r.sdoresponse_average); });
    set(kFlagSdoResponseGroup, t.sdoresponsetries, [&] { return decimal(uint64_t{r.sdoresponse_numtries}); });

    set(kFlagHeartbeatMin, t.heartbeat100msmin, [&] { return ms(r.heartbeat100ms_min); });
    set(kFlagHeartbeatMax, t.heartbeat100msmax, [&] { return ms(r.heartbeat100ms_max); });
    set(kFlagHeartbeatDev, t.heartbeat100msdev, [&] { return percent(r.heartbeat100ms_dev); });
    set(kFlagNodeGuardingMin, t.nodeguarding100msmin, [&] { return ms(r.nodeguarding100ms_min); });
    set(kFlagNodeGuardingMax, t.nodeguarding100msmax, [&] { return ms(r.nodeguarding100ms_max); });
    set(kFlagNodeGuardingDiff, t.nodeguarding100msdiff, [&] { return ms(r.nodeguarding100ms_diff); });

    set(kFlagEvent100Min, t.eventtpdo100msmin, [&] { return ms(r.eventtpdo100ms_min); });
    set(kFlagEvent100Max, t.eventtpdo100msmax, [&] { return ms(r.eventtpdo100ms_max); });
    set(kFlagEvent100Dev, t.eventtpdo100msdev, [&] { return percent(r.eventtpdo100ms_dev); });
    set(kFlagEvent100Ave, t.eventtpdo100msave, [&] { return ms(r.eventtpdo100ms_ave); });
    set(kFlagEvent10Min, t.eventtpdo10msmin, [&] { return ms(r.eventtpdo10ms_min); });
    set(kFlagEvent10Max, t.eventtpdo10msmax, [&] { return ms(r.eventtpdo10ms_max); });
    set(kFlagEvent10Dev, t.eventtpdo10msdev, [&] { return percent(r.eventtpdo10ms_dev); });
    set(kFlagEvent10Ave, t.eventtpdo10msave, [&] { return ms(r.eventtpdo10ms_ave); });

    set(kFlagSync100Min, t.synctpdo100msmin, [&] { return ms(r.synctpdo100ms_min); });
    set(kFlagSync100Max, t.synctpdo100msmax, [&] { return ms(r.synctpdo100ms_max); });
    set(kFlagSync100Diff, t.synctpdo100msdiff, [&] { return ms(r.synctpdo100ms_diff); });
    set(kFlagSync100Ave, t.synctpdo100msave, [&] { return ms(r.synctpdo100ms_ave); });
    set(kFlagSync10Min, t.synctpdo10msmin, [&] { return ms(r.synctpdo10ms_min); });
    set(kFlagSync10Max, t.synctpdo10msmax, [&] { return ms(r.synctpdo10ms_max); });
    set(kFlagSync10Diff, t.synctpdo10msdiff, [&] { return ms(r.synctpdo10ms_diff); });
    set(kFlagSync10Ave, t.synctpdo10msave, [&] { return ms(r.synctpdo10ms_ave); });

    set(kFlagPeakMessageRate, t.peakmessagerate, [&] { return fixed(r.peakmessagerate, 2) + " msgs/sec"; });
    set(kFlagMaxBusLoad, t.maxbusload, [&] { return percent(r.maxbusload); });
    set(kFlagMaxBurstLength, t.maxburstlength, [&] { return fixed(r.maxburstlength, 1) + " ms"; });

    set(kFlagCompatibilityRating, t.compatibilityrating, [&] { return decimal(r.compatibilityrating); });
    set(kFlagPerformanceRating, t.performancerating, [&] { return decimal(r.performancerating); });
    set(kFlagReliabilityRating, t.reliabilityrating, [&] { return decimal(r.reliabilityrating); });
    return t;
}

namespace {

void writeFixedWidth(std::FILE* f, const T& t) {
    auto c = [](const std::string& s) { return s.c_str(); };
    std::fputs("\n--- General Device Info --->\n", f);
    std::fprintf(f, "Device Type        %s\n                   %s\n", c(t.devicetype), c(t.devicetypeadditional));
    std::fprintf(f, "Vendor             %s\n                   %s\n", c(t.manufacturer), c(t.manufacturerdept));
    std::fprintf(f, "Node ID            %9s\n", c(t.nodeid));
    std::fprintf(f, "Boot-up Time       %9s\n", c(t.bootuptime));
    std::fprintf(f, "LSS                %9s\tBaud Rate          %9s\n", c(t.lss), c(t.baudrate));
    std::fprintf(f, "PDO Linking        %9s\tPDO Mapping        %9s\n", c(t.pdolinking), c(t.pdomapping));
    std::fprintf(f, "RPDOs              %9s\tSDO Servers        %9s\n", c(t.rpdonum), c(t.sdoservernum));
    std::fprintf(f, "TPDOs              %9s\tSDO Clients        %9s\n", c(t.tpdonum), c(t.sdoclientnum));
    std::fprintf(f, "NMT Master         %9s\tHeartbeat Consumer %9s\n", c(t.nmtmaster), c(t.heartbeatconsumer));
    std::fprintf(f, "SDO Manager        %9s\tHeartbeat Producer %9s\n", c(t.sdomanager), c(t.heartbeatproducer));
    std::fprintf(f, "Config Manager     %9s\tNode Guarding      %9s\n", c(t.configmanager), c(t.nodeguarding));
    std::fprintf(f, "Autostart          %9s\tStore Parameters   %9s\n", c(t.autostart), c(t.storeparameters));
    std::fprintf(f, "Sync Consumer      %9s\tEMCY Consumer      %9s\n", c(t.syncconsumer), c(t.emcyconsumer));
    std::fprintf(f, "Sync Producer      %9s\tEMCY Producer      %9s\n", c(t.syncproducer), c(t.emcyproducer));

    std::fputs("\n--- Timings --->\n", f);
    std::fprintf(f, "             %12s %12s %12s %6s\n", "Min", "Max", "Average", "Num");
    std::fprintf(f, "Boot-up      %12s %12s %12s %6s\n", c(t.bootupmin), c(t.bootupmax), c(t.bootupaverage),
                 c(t.bootuptries));
    std::fprintf(f, "SDO Response %12s %12s %12s %6s\n", c(t.sdoresponsemin), c(t.sdoresponsemax),
                 c(t.sdoresponseaverage), c(t.sdoresponsetries));

    std::fputs("\n--- Test Summary --->\n", f);
    std::fprintf(f, "                     %12s %12s %12s\n", "Min", "Max", "Dev");
    std::fprintf(f, "100ms Heartbeat      %12s %12s %12s\n", c(t.heartbeat100msmin), c(t.heartbeat100msmax),
                 c(t.heartbeat100msdev));
    std::fputs("\n", f);
    std::fprintf(f, "                     %12s %12s %12s\n", "Min", "Max", "Diff");
    std::fprintf(f, "100ms Node Guarding  %12s %12s %12s\n", c(t.nodeguarding100msmin), c(t.nodeguarding100msmax),
                 c(t.nodeguarding100msdiff));
    std::fputs("\n", f);
    std::fprintf(f, "                     %12s %12s %12s %12s\n", "Min", "Max", "Dev", "Ave");
    std::fprintf(f, "100ms Event TPDO     %12s %12s %12s %12s\n", c(t.eventtpdo100msmin), c(t.eventtpdo100msmax),
                 c(t.eventtpdo100msdev), c(t.eventtpdo100msave));
    std::fprintf(f, "10ms Event TPDO      %12s %12s %12s %12s\n", c(t.eventtpdo10msmin), c(t.eventtpdo10msmax),
                 c(t.eventtpdo10msdev), c(t.eventtpdo10msave));
    std::fputs("\n", f);
    std::fprintf(f, "                     %12s %12s %12s %12s\n", "Min", "Max", "Diff", "Ave");
    std::fprintf(f, "100ms Sync TPDO      %12s %12s %12s %12s\n", c(t.synctpdo100msmin), c(t.synctpdo100msmax),
                 c(t.synctpdo100msdiff), c(t.synctpdo100msave));
    std::fprintf(f, "10ms Sync TPDO       %12s %12s %12s %12s\n", c(t.synctpdo10msmin), c(t.synctpdo10msmax),
                 c(t.synctpdo10msdiff), c(t.synctpdo10msave));
    std::fputs("\n", f);
    std::fprintf(f, "Peak Message Rate  %s\n", c(t.peakmessagerate));
    std::fprintf(f, "Max Bus Load       %s\n", c(t.maxbusload));
    std::fprintf(f, "Max Burst Length   %s\n", c(t.maxburstlength));

    std::fputs("\n--- Overall Rating --->\n", f);
    std::fprintf(f, "Compatibility Rating  %s\n", c(t.compatibilityrating));
    std::fprintf(f, "Performance Rating    %s\n", c(t.performancerating));
    std::fprintf(f, "Reliability Rating    %s\n", c(t.reliabilityrating));
}

void writeTabDelimited(std::FILE* f, const T& t) {
    auto c = [](const std::string& s) { return s.c_str(); };
    std::fputs("\n--- General Device Info --->\n", f);
    std::fprintf(f, "Device Type\t%s\n\t%s\n", c(t.devicetype), c(t.devicetypeadditional));
    std::fprintf(f, "Vendor\t%s\n\t%s\n", c(t.manufacturer), c(t.manufacturerdept));
    std::fprintf(f, "Node ID\t%s\n", c(t.nodeid));
    std::fprintf(f, "Boot-up Time\t%s\n", c(t.bootuptime));
    std::fprintf(f, "LSS\t%s\tBaud Rate\t%s\n", c(t.lss), c(t.baudrate));
    std::fprintf(f, "PDO Linking\t%s\tPDO Mapping\t%s\n", c(t.pdolinking), c(t.pdomapping));
    std::fprintf(f, "RPDO\t%s\tSDO Servers\t%s\n", c(t.rpdonum), c(t.sdoservernum));
    std::fprintf(f, "TPDOs\t%s\tSDO Clients\t%s\n", c(t.tpdonum), c(t.sdoclientnum));
    std::fprintf(f, "NMT Master\t%s\tHeartbeat Consumer\t%s\n", c(t.nmtmaster), c(t.heartbeatconsumer));
    std::fprintf(f, "SDO Manager\t%s\tHeartbeat Producer\t%s\n", c(t.sdomanager), c(t.heartbeatproducer));
    std::fprintf(f, "Config Manager\t%s\tNode Guarding\t%s\n", c(t.configmanager), c(t.nodeguarding));
    std::fprintf(f, "Autostart\t%s\tStore Parameters\t%s\n", c(t.autostart), c(t.storeparameters));
    std::fprintf(f, "Sync Consumer\t%s\tEMCY Consumer\t%s\n", c(t.syncconsumer), c(t.emcyconsumer));
    std::fprintf(f, "Sync Producer\t%s\tEMCY Producer\t%s\n", c(t.syncproducer), c(t.emcyproducer));

    std::fputs("\n--- Timings --->\n", f);
    std::fprintf(f, "\t%s\t%s\t%s\t%s\n", "Min", "Max", "Average", "Num");
    std::fprintf(f, "Boot-up\t%s\t%s\t%s\t%s\n", c(t.bootupmin), c(t.bootupmax), c(t.bootupaverage),
                 c(t.bootuptries));
    std::fprintf(f, "SDO Response\t%s\t%s\t%s\t%s\n", c(t.sdoresponsemin), c(t.sdoresponsemax),
                 c(t.sdoresponseaverage), c(t.sdoresponsetries));

    std::fputs("\n--- Test Summary --->\n", f);
    std::fprintf(f, "\t%s\t%s\t%s\n", "Min", "Max", "Dev");
    std::fprintf(f, "100ms Heartbeat\t%s\t%s\t%s\n", c(t.heartbeat100msmin), c(t.heartbeat100msmax),
                 c(t.heartbeat100msdev));
    std::fputs("\n", f);
    std::fprintf(f, "\t%s\t%s\t%s\n", "Min", "Max", "Diff");
    std::fprintf(f, "100ms Node Guarding\t%s\t%s\t%s\n", c(t.nodeguarding100msmin), c(t.nodeguarding100msmax),
                 c(t.nodeguarding100msdiff));
    std::fputs("\n", f);
    std::fprintf(f, "\t%s\t%s\t%s\t%s\n", "Min", "Max", "Dev", "Ave");
    std::fprintf(f, "100ms Event TPDO\t%s\t%s\t%s\t%s\n", c(t.eventtpdo100msmin), c(t.eventtpdo100msmax),
                 c(t.eventtpdo100msdev), c(t.eventtpdo100msave));
    std::fprintf(f, "10ms Event TPDO\t%s\t%s\t%s\t%s\n", c(t.eventtpdo10msmin), c(t.eventtpdo10msmax),
                 c(t.eventtpdo10msdev), c(t.eventtpdo10msave));
    std::fputs("\n", f);
    std::fprintf(f, "\t%s\t%s\t%s\t%s\n", "Min", "Max", "Diff", "Ave");
    std::fprintf(f, "100ms Sync TPDO\t%s\t%s\t%s\t%s\n", c(t.synctpdo100msmin), c(t.synctpdo100msmax),
                 c(t.synctpdo100msdiff), c(t.synctpdo100msave));
    std::fprintf(f, "10ms Sync TPDO\t%s\t%s\t%s\t%s\n", c(t.synctpdo10msmin), c(t.synctpdo10msmax),
                 c(t.synctpdo10msdiff), c(t.synctpdo10msave));
    std::fputs("\n", f);
    std::fprintf(f, "Peak Message Rate\t%s\n", c(t.peakmessagerate));
    std::fprintf(f, "Max Bus Load\t%s\n", c(t.maxbusload));
    std::fprintf(f, "Max Burst Length\t%s\n", c(t.maxburstlength));

    std::fputs("\n--- Overall Rating --->\n", f);
    std::fprintf(f, "Compatibility Rating\t%s\n", c(t.compatibilityrating));
    std::fprintf(f, "Performance Rating\t%s\n", c(t.performancerating));
    std::fprintf(f, "Reliability Rating\t%s\n", c(t.reliabilityrating));
}

} // namespace

bool SummaryDisplay::Refresh(const SummaryNames& names) {
    // Cleared first: a request made while this refresh reads the summary gets a refresh of its own.
    refreshPending_.store(false);
    DeviceSummaryRecord record{};
    if (!summary_.GetSummary(record))
        return false;
    texts_ = FormatSummary(record, names);
    return true;
}

void WriteDeviceSummary(std::FILE* out, int layout, const SummaryTexts& texts) {
    std::fputs("\n\nDEVICE SUMMARY\n--------------\n", out);
    if (layout == 0)
        writeFixedWidth(out, texts);
    else if (layout == 1)
        writeTabDelimited(out, texts);
}

} // namespace ostrel::vessolt
