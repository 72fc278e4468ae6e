#include "timing_engine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "expressions/expressions.h"
#include "platform/ini.h"
#include "services/log.h"
#include "services/stored_setting.h"
#include "testing/test_manager.h"
#include "timing_settings.h"
#include "timing_settings_check.h"

namespace ostrel::vessolt {

namespace {

constexpr size_t kExpressionErrorSize = 200;

// printf's "%.Nf" without the locale.
std::string fixed(float value, int precision) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    return std::string(buffer, r.ptr);
}

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

std::string pdoIdText(uint32_t id) {
    return id < 2048 ? format("%3.3X", id) : format("%8.8X", id);
}

} // namespace

TimingTestEngine::TimingTestEngine(TimingTestKind kind, Services services, TimingCycleDriver& driver)
    : variant_(timingVariant(kind)), services_(std::move(services)), driver_(driver), table_(variant_) {
    GetDefaultConfig(record_);
    deriveTimingRows(record_);
    ResetResults();
}

void TimingTestEngine::GetDefaultConfig(TimingTestConfig& out) const {
    out.activecycles = 5;
    out.searchrows = 0;
    out.manual_enable = 1;
    out.manualtestcycles = 5;
    const uint32_t periods[5] = {500, 250, 100, 50, 10};
    std::copy(std::begin(periods), std::end(periods), out.manualtime.begin());
    if (variant_.hasSync)
        out.syncid = 0x80;
    out.alarm_enable = 0;
    out.alarm_operation = 0;
    setTimingExpression(out.alarm_expression, "");
    setTimingExpression(out.limit_expression, "");
    out.ciatr308options = 0;
    out.limit_enable = 0;
    out.limit_upperlimit = 200;
    out.limit_lowerlimit = 100;
    auto defaultFrames = [](std::array<RPDOFrame, kTimingMaxPdos>& frames) {
        for (RPDOFrame& f : frames) {
            f.dlc = 8;
            std::fill(std::begin(f.data), std::end(f.data), uint8_t{0});
        }
    };
    if (variant_.hasRpdo)
        defaultFrames(out.rpdo);
    if (variant_.isTurnaround) {
        defaultFrames(out.phase1rpdo);
        defaultFrames(out.phase2rpdo);
    }
    if (variant_.hasTransmissionType)
        out.tpdotransmissiontype = 255;
}

WindowPlacement TimingTestEngine::InitSettings() {
    TimingTestConfig c;
    GetConfig(c);
    GetDefaultConfig(c);
    const TimingTestConfig defaults = c;
    const WindowPlacement window = loadTimingSettings(variant_, c, &services_.log);
    const bool accepted = pageAccepts(c, registryKeyPlace(timingRegistryPath(variant_)));
    ApplyLoadedSettings(accepted ? c : defaults);
    return window;
}

void TimingTestEngine::SaveSettings(const WindowPlacement& window) const {
    TimingTestConfig c;
    GetConfig(c);
    saveTimingSettings(variant_, c, window);
}

void TimingTestEngine::SaveTestConfig(platform::IniFile& file) const {
    TimingTestConfig c;
    GetConfig(c);
    saveTimingTestConfig(variant_, c, file);
}

void TimingTestEngine::LoadTestConfig(const platform::IniFile& file) {
    TimingTestConfig c;
    GetConfig(c);
    // The settings as the file would hold them: a section that changes none of them (or no section)
    // keeps the results and the status.
    const auto settingsText = [this](const TimingTestConfig& config) {
        platform::IniFile text;
        saveTimingTestConfig(variant_, config, text);
        return text.toString();
    };
    const std::string before = settingsText(c);
    loadTimingTestConfig(variant_, c, file, &services_.log);
    // Refused: the settings in use stay, and so do their results.
    if (settingsText(c) != before && pageAccepts(c, fileSectionPlace(variant_.displayName)))
        ApplyLoadedSettings(c);
}

bool TimingTestEngine::pageAccepts(const TimingTestConfig& loaded, const std::string& where) const {
    return TimingSettingsCheck(variant_.kind, services_.expressions).AcceptsLoaded(loaded, where, &services_.log);
}

void TimingTestEngine::GetConfig(TimingTestConfig& out) const {
    std::lock_guard lock(recordMutex_);
    out = record_;
}

void TimingTestEngine::WithRecord(const std::function<void(TimingTestConfig&)>& f) {
    std::lock_guard lock(recordMutex_);
    f(record_);
}

void TimingTestEngine::SetConfig(const TimingTestConfig& in) {
    ApplyLoadedSettings(in);
}

void TimingTestEngine::ApplyLoadedSettings(const TimingTestConfig& in) {
    {
        std::lock_guard lock(recordMutex_);
        TimingTestConfig& r = record_;
        r.manual_enable = in.manual_enable;
        r.manualtestcycles = std::clamp(in.manualtestcycles, 0, kTimingMaxCycles);
        r.manualtime = in.manualtime;
        r.syncid = in.syncid;
        auto copyFrames = [](std::array<RPDOFrame, kTimingMaxPdos>& to, const std::array<RPDOFrame, kTimingMaxPdos>& from) {
            for (size_t k = 0; k < to.size(); ++k) {
                to[k].dlc = std::min<uint8_t>(from[k].dlc, 8);
                std::copy(std::begin(from[k].data), std::end(from[k].data), to[k].data);
            }
        };
        copyFrames(r.rpdo, in.rpdo);
        copyFrames(r.phase1rpdo, in.phase1rpdo);
        copyFrames(r.phase2rpdo, in.phase2rpdo);
        r.tpdotransmissiontype = in.tpdotransmissiontype;
        r.alarm_enable = in.alarm_enable;
        r.alarm_operation = in.alarm_operation;
        setTimingExpression(r.alarm_expression, in.alarm_expression);
        r.ciatr308options = in.ciatr308options;
        r.limit_enable = in.limit_enable;
        setTimingExpression(r.limit_expression, in.limit_expression);
        r.limit_upperlimit = in.limit_upperlimit;
        r.limit_lowerlimit = in.limit_lowerlimit;
        deriveTimingRows(r);
        resetResultsLocked();
    }
    table_.Refresh();
    // The results are gone: a status of the old run would stand above an empty grid.
    TEST test;
    if (services_.testManager.GetTest(variant_.testNumber, test) && test.status != RUNNING)
        services_.testManager.ResetTest(variant_.testNumber);
}

void TimingTestEngine::ResetResults() {
    {
        std::lock_guard lock(recordMutex_);
        resetResultsLocked();
    }
    table_.Refresh();
}

void TimingTestEngine::resetResultsLocked() {
    TimingTestConfig& r = record_;
    for (int i = 0; i < r.activecycles; ++i)
        clearTimingRow(r, i);
    r.searchrows = 0;
    table_.SetRowCount(r.activecycles);
    table_.SetUsedRows(r.activecycles);
    const int rows = table_.RowCount();
    for (int row = 1; row < rows; ++row)
        for (int c = 0; c < variant_.columnCount; ++c) {
            const bool titled = variant_.titles[static_cast<size_t>(c)][0] != '\0';
            table_.SetCell(c, row, titled && row <= r.activecycles ? "-" : "");
        }
    for (int i = 0; i < r.activecycles; ++i)
        table_.SetCell(0, i + 1, std::to_string(r.time[static_cast<size_t>(i)]));
}

bool TimingTestEngine::AddSearchCycle(uint32_t periodMs) {
    {
        std::lock_guard lock(recordMutex_);
        TimingTestConfig& r = record_;
        const int n = r.activecycles + r.searchrows + 1;
        if (n > kTimingMaxCycles)
            return false;
        r.searchrows += 1;
        r.time[static_cast<size_t>(n - 1)] = periodMs;
        clearTimingRow(r, n - 1);
        table_.SetRowCount(n);
        table_.SetUsedRows(n);
        for (int c = 0; c < variant_.columnCount - 1; ++c)
            table_.SetCell(c, n, "-");
        table_.SetCell(0, n, std::to_string(periodMs));
    }
    table_.Refresh();
    return true;
}

void TimingTestEngine::ShowCycleResults() {
    {
        std::lock_guard lock(recordMutex_);
        showCycleResultsLocked();
    }
    table_.Refresh();
}

void TimingTestEngine::showCycleResultsLocked() {
    const TimingTestConfig& r = record_;
    const int ecColumn = variant_.errorControlColumn;
    const bool heartbeat = errorControlMode_.load() == 1;
    const int sdoColumn = ecColumn + 3;
    for (int i = 0; i < r.activecycles + r.searchrows && i < kTimingMaxCycles; ++i) {
        const size_t k = static_cast<size_t>(i);
        const int row = i + 1;
        // Bus figures come from the support module, which may send zeros: 0 means no figure.
        if (r.maxbusload[k] != 0)
            table_.SetCell(1, row, fixed(r.maxbusload[k], 2));
        if (r.maxburstlen[k] != 0)
            table_.SetCell(2, row, fixed(r.maxburstlen[k], 1));
        if (variant_.hasSync && r.sync[k].count > 0)
            table_.SetCell(12, row, fixed(r.sync[k].dev, 2));
        if (r.ec[k].count > 0) {
            table_.SetCell(ecColumn, row, fixed(r.ec[k].min, 2));
            table_.SetCell(ecColumn + 1, row, fixed(r.ec[k].max, 2));
            table_.SetCell(ecColumn + 2, row, fixed(heartbeat ? r.ec[k].dev : r.ec[k].diff, 2));
        }
        if (r.sdo[k].count > 0) {
            table_.SetCell(sdoColumn, row, fixed(r.sdo[k].min, 2));
            table_.SetCell(sdoColumn + 1, row, fixed(r.sdo[k].max, 2));
        }
        if (r.tpdo[k].count > 0) {
            const TimingStatistics& t = r.tpdo[k];
            int c = 3;
            table_.SetCell(c++, row, fixed(t.min, 2));
            table_.SetCell(c++, row, fixed(t.max, 2));
            table_.SetCell(c++, row, fixed(t.diff, 2));
            if (variant_.isEvent)
                table_.SetCell(c++, row, fixed(t.dev, 2));
            table_.SetCell(c, row, fixed(t.ave, 2));
        }
    }
}

void TimingTestEngine::SetErrorControlMode(uint32_t mode) {
    errorControlMode_.store(mode);
    const int c = variant_.errorControlColumn;
    if (mode == 1) {
        table_.SetCell(c, 0, "HB Min (ms)");
        table_.SetCell(c + 1, 0, "HB Max (ms)");
        table_.SetCell(c + 2, 0, "HB Dev (%)");
    } else {
        table_.SetCell(c, 0, "NG Min (ms)");
        table_.SetCell(c + 1, 0, "NG Max (ms)");
        table_.SetCell(c + 2, 0, "NG Diff (ms)");
    }
    table_.Refresh();
}

void TimingTestEngine::SetPdoCounts(uint32_t tpdos, uint32_t rpdos) {
    pdosCounted_ = true;
    tpdoFound_ = tpdoFound_ || tpdos > 0;
    tpdoCount_.store(tpdos);
    rpdoCount_.store(rpdos);
    table_.Refresh();
}

uint64_t TimingTestEngine::GetCycleDuration(uint32_t periodMs) const {
    if (periodMs < 100)
        return 4000;
    if (periodMs < 1000)
        return 10000;
    if (periodMs < 5000)
        return 20000;
    return uint64_t{variant_.longCycleFactor} * periodMs;
}

void TimingTestEngine::ReportProgress(uint64_t msInCycle) {
    if (totalMs_ == 0)
        return;
    const uint64_t percent = std::min<uint64_t>((elapsedMs_ + msInCycle) * 100 / totalMs_, 100);
    setProgress(static_cast<int32_t>(percent));
}

void TimingTestEngine::log(const std::string& text) {
    services_.log.Add(text);
}

void TimingTestEngine::setStatus(int32_t status) {
    services_.testManager.SetTestStatus(variant_.testNumber, status);
}

void TimingTestEngine::setProgress(int32_t percent) {
    services_.testManager.SetTestProgress(variant_.testNumber, percent);
}

void TimingTestEngine::finish() {
    // Heartbeats and SDO times alone are no measure of the PDO timing this test is about.
    if (pdosCounted_ && !tpdoFound_) {
        log("Warning: no valid TPDO found, nothing was measured");
        warning_ = true;
    }
    ShowCycleResults();
    setProgress(100);
    setStatus(warning_ ? WARNING : PASSED);
}

std::string TimingTestEngine::expressionOf(const char (TimingTestConfig::*field)[kTimingExpressionSize]) const {
    std::lock_guard lock(recordMutex_);
    return std::string(record_.*field);
}

bool TimingTestEngine::evaluate(const char* expression, int cycle, bool* isTrue) {
    ExpressionVariables v{};
    {
        std::lock_guard lock(recordMutex_);
        const size_t k = static_cast<size_t>(cycle);
        const TimingTestConfig& r = record_;
        v[ExpressionVariable::msgrate] = r.peakmsgrate[k];
        v[ExpressionVariable::maxbusload] = r.maxbusload[k];
        v[ExpressionVariable::maxburstlen] = r.maxburstlen[k];
        v[ExpressionVariable::tpdomin] = r.tpdo[k].min;
        v[ExpressionVariable::tpdomax] = r.tpdo[k].max;
        v[ExpressionVariable::tpdodiff] = r.tpdo[k].diff;
        v[ExpressionVariable::tpdodev] = r.tpdo[k].dev;
        v[ExpressionVariable::tpdoave] = r.tpdo[k].ave;
        v[ExpressionVariable::ecmin] = r.ec[k].min;
        v[ExpressionVariable::ecmax] = r.ec[k].max;
        v[ExpressionVariable::ecdev] = r.ec[k].dev;
        v[ExpressionVariable::ecdiff] = r.ec[k].diff;
        v[ExpressionVariable::sdomin] = r.sdo[k].min;
        v[ExpressionVariable::sdomax] = r.sdo[k].max;
        // Tests without SYNC leave the SYNC variables at 0.
        if (variant_.expressionVariables == 17) {
            v[ExpressionVariable::syncmin] = r.sync[k].min;
            v[ExpressionVariable::syncmax] = r.sync[k].max;
            v[ExpressionVariable::syncdev] = r.sync[k].dev;
        }
    }
    TypedValue result{};
    char error[kExpressionErrorSize]{};
    if (!services_.expressions.Evaluate(expression, v.data(), &result, error, static_cast<int>(sizeof error)))
        return false;
    *isTrue = TExpressions::IsTrue(result);
    return true;
}

TimingTestEngine::Flow TimingTestEngine::startCycle(int cycle) {
    uint32_t period = 0;
    {
        std::lock_guard lock(recordMutex_);
        period = record_.time[static_cast<size_t>(cycle)];
    }
    log(format("Starting test cycle for %u ms %s period", period, variant_.periodWord));
    const int result = driver_.RunCycle(cycle, *this);
    if (Cancelled()) {
        setProgress(100);
        setStatus(CANCELLED);
        return Flow::End;
    }
    switch (result) {
    case kCycleOk:
        return Flow::Continue;
    case kCycleWarning:
        setProgress(100);
        warning_ = true;
        return Flow::Continue;
    case kCycleCancelled:
        setProgress(100);
        setStatus(CANCELLED);
        return Flow::End;
    default:
        setProgress(100);
        setStatus(FAILED);
        return Flow::End;
    }
}

void TimingTestEngine::RunTest() {
    cancel_.store(0);
    cancelRequested_.store(false);
    setStatus(RUNNING);
    int active = 0;
    {
        std::lock_guard lock(recordMutex_);
        active = record_.activecycles;
        totalMs_ = 0;
        for (int i = 0; i < active; ++i)
            totalMs_ += GetCycleDuration(record_.time[static_cast<size_t>(i)]);
    }
    ResetResults();
    if (services_.restartTransmit)
        services_.restartTransmit();
    elapsedMs_ = 0;
    warning_ = false;
    pdosCounted_ = false;
    tpdoFound_ = false;

    for (int i = 0; i < active; ++i) {
        // The cycle runs before the alarm; the alarm is checked before the cycle's result.
        uint32_t period = 0;
        {
            std::lock_guard lock(recordMutex_);
            period = record_.time[static_cast<size_t>(i)];
        }
        log(format("Starting test cycle for %u ms %s period", period, variant_.periodWord));
        const int result = driver_.RunCycle(i, *this);
        if (checkAlarm(i) == Flow::End)
            return;
        if (Cancelled()) {
            setProgress(100);
            setStatus(CANCELLED);
            return;
        }
        if (result != kCycleOk) {
            setProgress(100);
            if (result == kCycleWarning) {
                warning_ = true;
            } else {
                setStatus(result == kCycleCancelled ? CANCELLED : FAILED);
                return;
            }
        }
        ShowCycleResults();
        if (variant_.isTurnaround)
            rpdoReport(i, 0);
    }

    bool limitEnabled = false;
    {
        std::lock_guard lock(recordMutex_);
        limitEnabled = record_.limit_enable != 0;
    }
    if (!limitEnabled) {
        finish();
        return;
    }
    limitSearch();
}

TimingTestEngine::Flow TimingTestEngine::checkAlarm(int cycle) {
    int operation = 0;
    {
        std::lock_guard lock(recordMutex_);
        if (!record_.alarm_enable)
            return Flow::Continue;
        operation = record_.alarm_operation;
    }
    const std::string expression = expressionOf(&TimingTestConfig::alarm_expression);
    bool isTrue = false;
    if (!evaluate(expression.c_str(), cycle, &isTrue) || !isTrue)
        return Flow::Continue;
    switch (operation) {
    case 1:
        log("Error: Alarm expression (" + expression + ") evaluated to true");
        setProgress(100);
        setStatus(FAILED);
        ShowCycleResults();
        return Flow::End;
    case 2:
        log("Note: Alarm expression (" + expression + ") evaluated to true");
        setProgress(100);
        setStatus(CANCELLED);
        return Flow::End;
    default:
        log("Warning: Alarm expression (" + expression + ") evaluated to true");
        warning_ = true;
        return Flow::Continue;
    }
}

void TimingTestEngine::limitSearch() {
    int active = 0;
    uint32_t configuredUpper = 0, configuredLower = 0;
    {
        std::lock_guard lock(recordMutex_);
        active = record_.activecycles;
        configuredUpper = record_.limit_upperlimit;
        configuredLower = record_.limit_lowerlimit;
    }
    if (configuredLower == 0 || configuredUpper < configuredLower) {
        log(format("Error: Invalid limit search range %u ms to %u ms", configuredLower, configuredUpper));
        ShowCycleResults();
        setProgress(100);
        setStatus(FAILED);
        return;
    }
    const std::string expression = expressionOf(&TimingTestConfig::limit_expression);
    // Signed 64-bit: upper := mid - 1 may fall below lower without wrapping.
    int64_t upper = configuredUpper, lower = configuredLower;
    auto middle = [&] { return lower + (upper - lower) / 2; };
    int64_t mid = middle();
    bool midTrue = false;
    auto trueAt = [&](int64_t p) {
        log(format("Limit expression (%s) evaluated to true at %lld ms", expression.c_str(), static_cast<long long>(p)));
    };
    auto add = [&](int64_t p) {
        if (!AddSearchCycle(static_cast<uint32_t>(p)))
            log("Note: Limit search stopped: result table full");
    };
    add(upper);
    for (int n = active;; ++n) {
        int searchRows = 0;
        uint32_t period = 0;
        {
            std::lock_guard lock(recordMutex_);
            searchRows = record_.searchrows;
            if (n < active + searchRows)
                period = record_.time[static_cast<size_t>(n)];
        }
        if (n >= active + searchRows) {
            finish();
            return;
        }
        setProgress(0);
        setStatus(RUNNING);
        totalMs_ = GetCycleDuration(period);
        elapsedMs_ = 0;
        if (n - active > 2)
            log(format("Upper search limit = %lld ms, lower search limit = %lld ms", static_cast<long long>(upper),
                       static_cast<long long>(lower)));
        if (startCycle(n) == Flow::End)
            return;

        const int64_t p = period;
        const int k = n - active;
        bool isTrue = false;
        const bool evaluated = evaluate(expression.c_str(), n, &isTrue);
        bool done = false;
        if (k == 0) {
            if (evaluated && isTrue) {
                trueAt(p);
                done = true;
            } else if (evaluated) {
                add(mid);
            }
        } else if (k == 1) {
            midTrue = evaluated && isTrue;
            add(lower);
        } else if (k == 2) {
            if (evaluated && isTrue) {
                if (midTrue)
                    lower = mid + 1;
                else
                    upper = mid - 1;
                if (upper < lower) {
                    // Adjacent limits: nothing is left between them.
                    trueAt(p);
                } else {
                    mid = middle();
                    add(mid);
                }
            } else if (evaluated) {
                log(format("Limit expression (%s) not true inside range %u ms to %u ms", expression.c_str(),
                           configuredLower, configuredUpper));
                done = true;
            }
        } else if (!evaluated) {
            add(mid);
        } else if (mid != lower && mid != upper && lower != upper) {
            if (isTrue) {
                lower = p;
                mid = middle();
                if (mid == p)
                    mid += 1;
            } else {
                upper = p;
                mid = middle();
                if (mid == p)
                    mid -= 1;
            }
            add(mid);
        } else {
            trueAt(isTrue ? p : p - 1);
        }
        if (done) {
            finish();
            return;
        }
        ShowCycleResults();
        if (variant_.isTurnaround)
            rpdoReport(n, active);
    }
}

void TimingTestEngine::rpdoReport(int cycle, int phaseFirst) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(recordMutex_);
        const TimingTestConfig& r = record_;
        const uint32_t count = std::min<uint32_t>(rpdoCount_.load(), kTimingMaxPdos);
        for (uint32_t j = 0; j < count; ++j) {
            const uint32_t id = r.phase1rpdo[j].id;
            const uint32_t tpdos = r.tpdocount[static_cast<size_t>(cycle)][j];
            lines.push_back("Reception of RPDO 0x" + pdoIdText(id) + " resulted in transmission of " +
                            std::to_string(tpdos) + " TPDO" + (tpdos == 1 ? "" : "s") + " from node");
            if (tpdos == 0)
                warning_ = true;
            for (int earlier = phaseFirst; earlier < cycle; ++earlier) {
                if (r.tpdocount[static_cast<size_t>(earlier)][j] != tpdos) {
                    lines.push_back("Warning: change in number of TPDOs transmitted by node for RPDO " + pdoIdText(id));
                    warning_ = true;
                    break;
                }
            }
        }
    }
    for (const std::string& line : lines)
        log(line);
}

} // namespace ostrel::vessolt
