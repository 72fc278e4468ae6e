#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_interpreter.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "norbix_module.h"

namespace ostrel::vessolt::script {

namespace {

// The interpreter is process-wide by nature; everything about it lives here.
struct Interpreter {
    std::mutex mutex;
    bool started = false;
    PyThreadState* startingThread = nullptr;

    ~Interpreter() {
        if (!started)
            return;
        PyEval_RestoreThread(startingThread);
        Py_FinalizeEx();
    }
};

Interpreter& interpreter() {
    static Interpreter instance;
    return instance;
}

bool failed(PyStatus status, std::string& error) {
    if (!PyStatus_Exception(status))
        return false;
    error = status.err_msg ? status.err_msg : "unknown error";
    if (status.func)
        error = std::string(status.func) + ": " + error;
    return true;
}

} // namespace

std::mutex& runMutex() {
    static std::mutex mutex;
    return mutex;
}

bool ensureInterpreter(std::string& error) {
    Interpreter& in = interpreter();
    std::lock_guard lock(in.mutex);
    if (in.started)
        return true;
    if (Py_IsInitialized()) {
        error = "an interpreter was started elsewhere in this process";
        return false;
    }
    if (PyImport_AppendInittab("Norbix", &PyInit_Norbix) != 0) {
        error = "the Norbix module could not be registered";
        return false;
    }

    // Text is UTF-8 whatever the locale, and the program's locale is left as Qt set it.
    PyPreConfig preConfig;
    PyPreConfig_InitIsolatedConfig(&preConfig);
    preConfig.utf8_mode = 1;
    preConfig.configure_locale = 0;
    if (failed(Py_PreInitialize(&preConfig), error))
        return false;

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // The program keeps its own signal handling, and the script folder gets no bytecode files.
    config.install_signal_handlers = 0;
    config.write_bytecode = 0;
    // The standard library is found from the program's own location, never from a python3 on PATH.
    std::error_code ec;
    std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    PyStatus status = PyStatus_Ok();
    if (!exe.empty())
        status = PyConfig_SetBytesString(&config, &config.program_name, exe.c_str());
    if (!failed(status, error))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (failed(status, error))
        return false;
    in.started = true;
    // Runs take the GIL through PyGILState_Ensure, on whatever thread they run.
    in.startingThread = PyEval_SaveThread();
    return true;
}

ScriptTimeLimit::ScriptTimeLimit(std::chrono::milliseconds limit)
    : limit_(limit), runThread_(PyThread_get_thread_ident()), thread_([this] { watch(); }) {}

ScriptTimeLimit::~ScriptTimeLimit() {
    // The watchdog may be waiting for the GIL: let it go while it ends.
    Py_BEGIN_ALLOW_THREADS
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    Py_END_ALLOW_THREADS
    if (expired_.load())
        PyThreadState_SetAsyncExc(runThread_, nullptr);
}

void ScriptTimeLimit::watch() {
    constexpr auto kRepeat = std::chrono::milliseconds(100);
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, limit_, [this] { return done_; }))
        return;
    do {
        expired_.store(true);
        // Never wait for the GIL while holding the lock that the ending run needs.
        lock.unlock();
        PyGILState_STATE gil = PyGILState_Ensure();
        PyThreadState_SetAsyncExc(runThread_, PyExc_TimeoutError);
        PyGILState_Release(gil);
        lock.lock();
    } while (!wake_.wait_for(lock, kRepeat, [this] { return done_; }));
}

} // namespace ostrel::vessolt::script
