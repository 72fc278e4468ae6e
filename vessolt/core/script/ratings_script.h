#pragma once
// The ratings script "ratings.py": run after every test run in the embedded interpreter with the
// Norbix module, and loaded, saved and written into reports as text. No Python and no Qt in this
// header, so that windows can include it.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct _object;  // PyObject

namespace ostrel::vessolt {

class TDeviceSummary;
class TLog;
class UserPrompt;
namespace script {
class ScriptOutput;
}

class TRatingsScript {
public:
    // Adds script types to a run's fresh Norbix module (the test manager's RegisterPythonTypes).
    // Called with the GIL held; a Python error it leaves set is written to the log.
    using TypeRegistrar = std::function<void(_object* module)>;

    static constexpr const char* kFileName = "ratings.py";
    static constexpr const char* kFailureText =
        "Failed to load ratings script. Please check that ratings.py exists in the same folder as the "
        "application. Check the log for error messages.";
    static constexpr std::chrono::milliseconds kDefaultTimeLimit{30000};

    // `folder` holds ratings.py (the program's folder). The services outlive this object.
    TRatingsScript(std::string folder, TLog& log, TDeviceSummary& summary, UserPrompt& prompt,
                   TypeRegistrar registerTypes = {});
    TRatingsScript(const TRatingsScript&) = delete;
    TRatingsScript& operator=(const TRatingsScript&) = delete;
    // The interpreter stays until the process ends: it cannot safely be started twice.
    ~TRatingsScript() = default;

    void SetTypeRegistrar(TypeRegistrar registerTypes) { registerTypes_ = std::move(registerTypes); }
    // A run still going after this long is stopped with TimeoutError.
    void SetTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }

    // Runs the script in a fresh module namespace: its output becomes log lines; on failure the
    // error goes to the log and the user is told. True when the script ran to its end. Runs on the
    // thread that ran the first script (the GUI thread): only there can a run be stopped.
    bool Run();
    // Replaces `lines` with the script's lines; false (and `lines` empty) when it cannot be read,
    // with `error`, when given, saying why. Never waits for a FIFO's writer.
    bool LoadScript(std::vector<std::string>& lines, std::string* error = nullptr) const;
    // The script's bytes as they stand, line ends and encoding untouched; false (`text` empty) with
    // `error` set when it cannot be read.
    bool ReadScript(std::string& text, std::string& error) const;
    // Replaces the script with `text` through a temporary file, so a crash cannot lose it; false with
    // `error` set.
    bool SaveScript(std::string_view text, std::string& error) const;
    // Whether `text` is UTF-8 throughout, as an editor must find it to write it back unchanged.
    [[nodiscard]] static bool IsUtf8Text(std::string_view text);
    // The report section: the heading in every layout, the script's lines in layout 0.
    void WriteReport(std::FILE* file, int layout) const;

    [[nodiscard]] std::string ScriptPath() const { return folder_ + "/" + kFileName; }

private:
    bool runWithGil(script::ScriptOutput& output);

    std::string folder_;
    TLog& log_;
    TDeviceSummary& summary_;
    UserPrompt& prompt_;
    TypeRegistrar registerTypes_;
    std::chrono::milliseconds timeLimit_ = kDefaultTimeLimit;
};

} // namespace ostrel::vessolt
