#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ratings_script.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/regular_file.h"
#include "platform/utf16.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "norbix_module.h"
#include "python_interpreter.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {

namespace script {

// Collects what the script writes and logs each completed line. Python writes a traceback in
// fragments (margin, source line, carets), so a write is not a line. Empty lines are dropped: the
// line feed that print() writes on its own ends a line and adds none.
class ScriptOutput {
public:
    explicit ScriptOutput(TLog& log) : log_(log) {}

    void write(std::string_view text) {
        pending_.append(text);
        size_t start = 0;
        for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1)
            if (end > start)
                log_.Add(pending_.substr(start, end - start));
        pending_.erase(0, start);
    }

    // Logs an unfinished line.
    void finish() {
        if (!pending_.empty())
            log_.Add(pending_);
        pending_.clear();
    }

    // A line of our own, after whatever the script left unfinished.
    void line(const std::string& text) {
        finish();
        log_.Add(text);
    }

private:
    TLog& log_;
    std::string pending_;
};

} // namespace script

namespace {

using script::ScriptOutput;

struct DecRef {
    void operator()(PyObject* o) const { Py_XDECREF(o); }
};
using PyRef = std::unique_ptr<PyObject, DecRef>;

// Writes the pending error with its traceback to sys.stderr, bypassing any sys.excepthook the script
// set. True only for a SystemExit with code 0 or None, a normal end; no error leaves the process.
bool reportPendingError() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return false;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    bool cleanExit = false;
    if (PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
        PyRef code(value ? PyObject_GetAttrString(value, "code") : nullptr);
        PyErr_Clear();
        cleanExit = !code || code.get() == Py_None ||
                    (PyLong_Check(code.get()) && PyLong_AsLong(code.get()) == 0);
        PyErr_Clear();
    }
    if (!cleanExit)
        PyErr_Display(type, value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    return cleanExit;
}

// The error of a step that runs before the script's output reaches the log.
void logPendingError(ScriptOutput& output, const std::string& what) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    std::string text = what;
    if (value) {
        PyRef str(PyObject_Str(value));
        const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
        if (utf8)
            text += std::string(": ") + utf8;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    output.line(text);
}

void dropModule(PyObject* modules, const char* name) {
    if (PyDict_DelItemString(modules, name) != 0)
        PyErr_Clear();
}

// Modules imported from the script folder go with the run, so that an edited helper takes effect.
void dropFolderModules(PyObject* modules, const std::string& folder) {
    PyRef items(PyDict_Items(modules));
    if (!items) {
        PyErr_Clear();
        return;
    }
    const std::string prefix = folder + "/";
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyRef file(PyObject_GetAttrString(PyTuple_GET_ITEM(item, 1), "__file__"));
        const char* path = file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
        PyErr_Clear();
        if (path && std::strncmp(path, prefix.c_str(), prefix.size()) == 0)
            if (PyDict_DelItem(modules, PyTuple_GET_ITEM(item, 0)) != 0)
                PyErr_Clear();
    }
}

// For the length of a run: the module is sys.stdout and sys.stderr, there is no sys.stdin (a script
// waiting for input would hang the program), and the script folder leads sys.path. Everything the
// script changed there is put back.
class RunEnvironment {
public:
    RunEnvironment(PyObject* norbix, const std::string& folder) {
        for (size_t i = 0; i < kStreams.size(); ++i)
            saved_[i].reset(Py_XNewRef(PySys_GetObject(kStreams[i])));
        PySys_SetObject("stdout", norbix);
        PySys_SetObject("stderr", norbix);
        PySys_SetObject("stdin", Py_None);

        path_.reset(Py_XNewRef(PySys_GetObject("path")));
        if (path_ && PyList_Check(path_.get())) {
            pathCopy_.reset(PyList_GetSlice(path_.get(), 0, PY_SSIZE_T_MAX));
            PyRef entry(PyUnicode_DecodeFSDefault(folder.c_str()));
            if (entry)
                PyList_Insert(path_.get(), 0, entry.get());
        }
        // A helper created since the last run is found.
        PyRef importlib(PyImport_ImportModule("importlib"));
        if (importlib)
            PyRef(PyObject_CallMethod(importlib.get(), "invalidate_caches", nullptr));
        PyErr_Clear();
    }

    ~RunEnvironment() {
        for (size_t i = 0; i < kStreams.size(); ++i)
            PySys_SetObject(kStreams[i], saved_[i].get());
        if (path_ && pathCopy_) {
            PyList_SetSlice(path_.get(), 0, PY_SSIZE_T_MAX, pathCopy_.get());
            PySys_SetObject("path", path_.get());
        }
        PyErr_Clear();
    }

    RunEnvironment(const RunEnvironment&) = delete;
    RunEnvironment& operator=(const RunEnvironment&) = delete;

private:
    static constexpr std::array<const char*, 3> kStreams{"stdout", "stderr", "stdin"};
    std::array<PyRef, 3> saved_;
    PyRef path_;
    PyRef pathCopy_;
};

std::string withoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

TRatingsScript::TRatingsScript(std::string folder, TLog& log, TDeviceSummary& summary, UserPrompt& prompt,
                               TypeRegistrar registerTypes)
    : folder_(withoutTrailingSlash(std::move(folder))), log_(log), summary_(summary), prompt_(prompt),
      registerTypes_(std::move(registerTypes)) {}

bool TRatingsScript::Run() {
    ScriptOutput output(log_);
    std::unique_lock exclusive(script::runMutex());
    bool ok = false;
    std::string error;
    if (!script::ensureInterpreter(error)) {
        output.line("Python could not be started: " + error);
    } else {
        script::GilGuard gil;
        ok = runWithGil(output);
    }
    output.finish();
    exclusive.unlock();
    // The box comes after the GIL is released: it waits for the user.
    if (!ok)
        (void)prompt_.ask(PromptIcon::Warning, kFailureText, kProductName, PromptButtons::Ok);
    return ok;
}

bool TRatingsScript::runWithGil(ScriptOutput& output) {
    PyObject* modules = PyImport_GetModuleDict();
    // A fresh module for every run: nothing a script set on it survives.
    dropModule(modules, "Norbix");
    PyRef norbix(PyImport_ImportModule("Norbix"));
    if (!norbix) {
        logPendingError(output, "The Norbix module could not be created");
        return false;
    }
    script::NorbixBinding binding{&summary_, [&output](std::string_view text) { output.write(text); }};
    script::bindNorbix(norbix.get(), &binding);

    bool ok = false;
    bool stopped = false;
    {
        RunEnvironment environment(norbix.get(), folder_);
        if (registerTypes_) {
            registerTypes_(norbix.get());
            if (PyErr_Occurred())
                (void)reportPendingError();
        }

        const std::string path = ScriptPath();
        std::string source;
        PyRef code;
        // Through the rule for files the user edits: a FIFO or device there is refused at once
        // instead of holding the run, and a file past the size bound is refused.
        if (std::string error; !platform::readRegularFile(path, source, error)) {
            PyErr_Format(PyExc_OSError, "The ratings script %s cannot be read: %s", path.c_str(), error.c_str());
        } else if (source.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_SyntaxError, "source code cannot contain null bytes");
        } else {
            code.reset(Py_CompileStringExFlags(source.c_str(), path.c_str(), Py_file_input, nullptr, -1));
        }

        PyRef ratings(code ? PyModule_New("ratings") : nullptr);
        PyObject* globals = ratings ? PyModule_GetDict(ratings.get()) : nullptr;
        if (globals) {
            PyRef file(PyUnicode_DecodeFSDefault(path.c_str()));
            if (file && PyDict_SetItemString(globals, "__file__", file.get()) == 0 &&
                PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
                PyDict_SetItemString(modules, "ratings", ratings.get()) == 0) {
                PyRef result;
                {
                    script::ScriptTimeLimit limit(timeLimit_);
                    result.reset(PyEval_EvalCode(code.get(), globals, globals));
                    stopped = limit.expired();
                }
                ok = result != nullptr;
            }
        }
        if (!ok)
            ok = reportPendingError();
        else if (PyErr_Occurred())
            (void)reportPendingError();
        // The run's globals go with it; clearing breaks the cycles through its functions.
        if (globals)
            PyDict_Clear(globals);
        dropModule(modules, "ratings");
        dropFolderModules(modules, folder_);
    }
    dropModule(modules, "Norbix");
    script::bindNorbix(norbix.get(), nullptr);
    norbix.reset();
    PyGC_Collect();
    if (!ok && stopped)
        output.line("The ratings script was stopped after " + std::to_string(timeLimit_.count()) + " ms");
    return ok;
}

bool TRatingsScript::ReadScript(std::string& text, std::string& error) const {
    text.clear();
    return platform::readRegularFile(ScriptPath(), text, error);
}

bool TRatingsScript::LoadScript(std::vector<std::string>& lines, std::string* error) const {
    lines.clear();
    std::string text, why;
    if (!ReadScript(text, why)) {
        if (error != nullptr)
            *error = why;
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

bool TRatingsScript::SaveScript(std::string_view text, std::string& error) const {
    // Replaced whole, keeping its permissions; a FIFO or device there is refused at once.
    return platform::replaceRegularFile(ScriptPath(), text, error);
}

bool TRatingsScript::IsUtf8Text(std::string_view text) {
    // Every sequence that is not UTF-8 turns into U+FFFD on the way and so changes the bytes.
    return platform::toUtf8(platform::toUtf16(text)) == text;
}

void TRatingsScript::WriteReport(std::FILE* file, int layout) const {
    std::fputs("\n\nRATINGS SCRIPT\n--------------\n\n", file);
    if (layout != 0)
        return;
    std::vector<std::string> lines;
    if (std::string error; !LoadScript(lines, &error)) {
        if (error == std::strerror(ENOENT))
            std::fputs("(ratings.py not found)\n", file);
        else
            std::fprintf(file, "(ratings.py cannot be read: %s)\n", error.c_str());
        return;
    }
    for (const std::string& line : lines)
        std::fprintf(file, "%s\n", line.c_str());
}

} // namespace ostrel::vessolt
