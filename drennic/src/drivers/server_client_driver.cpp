// The server-client driver (mode 1): no CAN interface of its own; every hardware operation is a
// command to the CAN server, frames go through the server's rings.
#include "drivers/drivers.h"
#include "drivers/server_client_link.h"
#include "engine/engine.h"
#include "engine/library_state.h"
#include "engine/msg_buffer.h"
#include "engine/result_block.h"

#include <halvorn/server_block.h>
#include <platform/clock.h>
#include <platform/ipc.h>
#include <platform/process.h>
#include <platform/utf16.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace drennic {
namespace {

namespace hv = ostrel::halvorn;
using hv::ServerCommand;
using ostrel::platform::EventReset;
using ostrel::platform::NamedEvent;

// Waits of the server start: its whole start-up, looked at in steps after which a server that has
// quit at once is started again.
constexpr uint32_t kServerStartWaitMs = 20'000;
constexpr uint32_t kServerStartStepMs = 50;
constexpr uint32_t kServerSettleMs = 1'000;
// A server that quits at once (an old one on its way out holds the single-instance lock) is started
// again a few times at once; one that keeps quitting (a broken installation, a full /dev/shm) after
// growing pauses, so that the machine is not flooded with starts.
constexpr uint32_t kQuickServerStarts = 3;
constexpr uint32_t kFirstStartPauseMs = 250;
constexpr uint32_t kLongestStartPauseMs = 8'000;
// A starting client opens the shared objects again while another process is inside their open or
// close, within the time it may take for the whole start.
constexpr uint32_t kBusyOpenRetryMs = 100;
// How long a server may take to answer the first request before it is taken to be on its way out,
// and how long such a server may take to go.
constexpr uint32_t kServerAnswerProbeMs = 1'000;
constexpr uint32_t kServerGoneWaitMs = 5'000;
constexpr uint32_t kServerGonePollMs = 50;
// A receiver that keeps falling behind is told so once a second, not for every pass of its reader.
constexpr uint64_t kLossReportGapUs = 1'000'000;
constexpr const char* kServerProgram = "halvorn";
// Benchmarks only: the reader polls its rings every millisecond and ignores the server's pulses.
constexpr const char* kPollOnlyVariable = "DRENNIC_SC_POLL_ONLY";
// Keeps the SetHardwareConfiguration payload (name and terminator) within one command.
constexpr std::size_t kMaxDriverNameChars = hv::kCommandDataMax / 2 - 1;

enum DriverState : int32_t { kNotConnected = 0, kConnected = 1, kHardwareInitialised = 2 };

// The driver's process-wide state.
struct ServerClientState {
    // InitDriver, Initialize, SwitchNetworks and Close one at a time.
    std::mutex lifecycle;
    std::atomic<int32_t> driverState{kNotConnected};

    // The link's threads use these: declared before the link, so that they outlive it at the end
    // of the process (the reader puts into the buffer, the ping thread and a request whose server
    // is silent start and reap servers).
    MsgBuffer frames;
    bool receivedOwn = false;  // engine thread only: the frame Receive returned last was ours
    // One look for the server (and start) at a time; held only within one look, never across a wait.
    std::mutex serverStartLock;
    std::vector<pid_t> startedServers;  // servers this process started, until reaped
    std::u16string serverMissing;       // why no server could be started, for the user; empty once found
    uint64_t lastStartUs = 0;           // when the latest of them was started
    uint32_t failedStarts = 0;          // starts since a server was last seen running
    uint64_t nextStartUs = 0;           // no start before this
    // After Close a server we started may serve other programs for long: this thread reaps it once it
    // has ended, while no link (whose pings reap) is there. Joined when a link comes, and at the end.
    std::mutex reaperLock;
    std::condition_variable reaperWake;
    bool reaperStop = false;
    std::thread reaper;
    // Under `lifecycle`: why InitDriver left a server of another protocol version alone, for the user.
    std::u16string versionMismatch;

    mutable std::mutex linkLock;
    std::shared_ptr<ServerLink> link;  // present from InitDriver to Close
    // What a new server is told again: the network the server keeps for this client (0: none).
    std::atomic<uint32_t> serverNetwork{0};
    // The Status slot's word: DRN_STATUS_SERVER_RESTARTED with the count of new servers in its low
    // byte once one was found, so that each restart is reported once.
    std::atomic<uint32_t> clientStatus{0};
    std::atomic<uint32_t> serverRestarts{0};
    // Frames lost before the program read them (the receive ring or the frame buffer overrun): the
    // Status word's DRN_STATUS_FRAMES_LOST part, with the count of reports in bits 16-23.
    std::mutex lossLock;
    uint64_t lossesReported = 0;
    uint64_t lastLossReportUs = 0;
    uint32_t lossReports = 0;
    std::atomic<int32_t> oneShot{0};
    std::atomic<uint32_t> reserved{0};

    std::mutex transmitCallbackLock;
    TransmitCallback transmitCallback = nullptr;
    void* transmitUser = nullptr;

    ~ServerClientState() { stopReaper(); }
    void stopReaper() {
        {
            std::lock_guard lock(reaperLock);
            reaperStop = true;
        }
        reaperWake.notify_all();
        if (reaper.joinable()) {
            reaper.join();
        }
    }
};

ServerClientState& state() {
    static ServerClientState instance;
    return instance;
}

std::shared_ptr<ServerLink> currentLink() {
    ServerClientState& s = state();
    std::lock_guard lock(s.linkLock);
    return s.link;
}

// ---- the server process ----

// A server started here is our child: once it has ended it is reaped, so that no zombie is left.
// Under serverStartLock.
void reapStartedServersLocked() {
    std::erase_if(state().startedServers, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

bool reapStartedServers() {
    std::lock_guard lock(state().serverStartLock);
    reapStartedServersLocked();
    return state().startedServers.empty();
}

// Reaps, every so often, the servers this process started until none is left or it is told to stop.
void reapUntilNoneLeft() {
    constexpr auto kReapEvery = std::chrono::milliseconds(200);
    ServerClientState& s = state();
    std::unique_lock lock(s.reaperLock);
    while (!s.reaperWake.wait_for(lock, kReapEvery, [&s] { return s.reaperStop; })) {
        if (reapStartedServers()) {
            return;
        }
    }
}

// Under `lifecycle`, once the link has gone: a server we started that still runs is reaped when it ends.
void reapLater() {
    ServerClientState& s = state();
    s.stopReaper();  // one that found nothing left has ended; it is joined here
    if (reapStartedServers()) {
        return;
    }
    {
        std::lock_guard lock(s.reaperLock);
        s.reaperStop = false;
    }
    try {
        s.reaper = std::thread(reapUntilNoneLeft);
    } catch (const std::system_error&) {
        // No thread: the next link's pings reap it.
    }
}

// The folder of this library's own file, symbolic links resolved (the program's folder when the
// library is linked into the program). Empty when the loader cannot tell.
std::string libraryDir() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&libraryDir), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) {
        return {};
    }
    std::string path(resolved);
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::u16string widen(const std::string& text) { return ostrel::platform::toUtf16(text); }

// The server program: beside the calling program first, then beside this library (a program that
// lives elsewhere, such as a script using the library through an FFI). Empty when neither folder
// holds it; `missing` then says where it was looked for.
std::string findServerProgram(std::u16string& missing) {
    const std::string programDir = ostrel::platform::executableDir();
    const std::string ownDir = libraryDir();
    for (const std::string& dir : {programDir, ownDir}) {
        if (dir.empty()) {
            continue;
        }
        // Appended step by step: g++ 12 at -O3 misreads a chain of string concatenations here.
        std::string path = dir;
        if (path.back() != '/')
            path += '/';
        path += kServerProgram;
        if (::access(path.c_str(), X_OK) == 0) {
            missing.clear();
            return path;
        }
    }
    missing = u"The CAN server \"" + widen(kServerProgram) + u"\" is neither in " + widen(programDir) + u" nor in " +
              widen(ownDir.empty() ? std::string("(the library's folder is unknown)") : ownDir) + u".";
    return {};
}

// NotStartable: no server program, or it could not be started; the caller goes on and its requests
// fail in their time.
enum class ServerLook { Running, Starting, NotRunning, NotStartable, OtherInstallation };

uint32_t pauseAfterStarts(uint32_t starts) {
    if (starts <= kQuickServerStarts) {
        return 0;
    }
    const uint32_t doublings = std::min<uint32_t>(starts - kQuickServerStarts - 1, 16);
    return std::min(kFirstStartPauseMs << doublings, kLongestStartPauseMs);
}

// One look whether a server runs; starts one when none does, none of ours is on its way up and the
// pauses between starts allow it. Never waits, and takes no lock of another process: the running
// event is read without opening it, so that a process stopped inside its open holds nobody up and is
// never taken for "no server".
ServerLook lookForServer() {
    ServerClientState& s = state();
    const NamedEvent::Look running = NamedEvent::peek(hv::kRunningEventName);
    std::lock_guard lock(s.serverStartLock);
    reapStartedServersLocked();
    if (running == NamedEvent::Look::Set) {
        s.serverMissing.clear();
        s.failedStarts = 0;
        s.nextStartUs = 0;
        return ServerLook::Running;
    }
    if (running == NamedEvent::Look::OtherFormat || hv::TransportObjects::objectOfAnotherFormat() != nullptr) {
        return ServerLook::OtherInstallation;  // ours could not open its objects
    }
    const uint64_t now = ostrel::platform::monotonicUs();
    if (!s.startedServers.empty()) {
        // Ours is still starting; one that has not come up in all this time will not.
        return now - s.lastStartUs < uint64_t{kServerStartWaitMs} * 1000 ? ServerLook::Starting : ServerLook::NotRunning;
    }
    if (now < s.nextStartUs) {
        return ServerLook::NotRunning;
    }
    const std::string program = findServerProgram(s.serverMissing);
    if (program.empty()) {
        return ServerLook::NotStartable;
    }
    // Counted as failed until a look sees it running.
    ++s.failedStarts;
    s.lastStartUs = now;
    s.nextStartUs = now + uint64_t{pauseAfterStarts(s.failedStarts)} * 1000;
    const pid_t pid = ostrel::platform::spawnDetached(program, {"0"});
    if (pid < 0) {
        return ServerLook::NotStartable;  // the requests will fail and say so
    }
    s.startedServers.push_back(pid);
    return ServerLook::Starting;
}

// Looks until a server runs or the deadline; true when one does.
bool awaitServer(uint64_t deadlineUs, ServerLook& look) {
    for (;;) {
        look = lookForServer();
        if (look == ServerLook::Running || look == ServerLook::OtherInstallation || look == ServerLook::NotStartable ||
            ostrel::platform::monotonicUs() >= deadlineUs) {
            return look == ServerLook::Running;
        }
        ostrel::platform::sleepMs(kServerStartStepMs);
    }
}

bool pollOnlyRequested() {
    const char* value = std::getenv(kPollOnlyVariable);
    return value != nullptr && std::string_view(value) == "1";
}

// ---- payloads ----

void putUtf16(uint8_t* out, std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
}

// A fixed name field of `chars` characters from the payload (little-endian code units).
void getUtf16Field(char16_t* out, const uint8_t* in, std::size_t chars) {
    for (std::size_t i = 0; i < chars; ++i) {
        out[i] = static_cast<char16_t>(in[2 * i] | (in[2 * i + 1] << 8));
    }
}

// A request whose answer must carry at least `minLength` bytes. A server that has gone (it ended
// after dropping this client, or it was killed) is replaced while the request waits, and the
// request goes to the new one (ServerLink::request).
[[nodiscard]] int32_t requestAtLeast(ServerLink& link, uint8_t code, const uint8_t* data, int32_t length,
                                     ServerCommand& response, int32_t minLength,
                                     ServerLink::Repeat repeat = ServerLink::Repeat::Plain) {
    const int32_t r = link.request(code, data, length, response, kServerRequestTimeoutMs, repeat);
    if (r == 0 && response.length < minLength) {
        return kRequestWrongResponse;
    }
    return r;
}

[[nodiscard]] int32_t requestAtLeast(uint8_t code, const uint8_t* data, int32_t length, ServerCommand& response,
                                     int32_t minLength, ServerLink::Repeat repeat = ServerLink::Repeat::Plain) {
    const auto link = currentLink();
    return link ? requestAtLeast(*link, code, data, length, response, minLength, repeat) : kRequestNotSent;
}

[[nodiscard]] bool sendCommand(uint8_t code, const uint8_t* data = nullptr, int32_t length = 0) {
    const auto link = currentLink();
    return link && link->send(code, data, length);
}

// ---- slots ----

// The loss part of the Status word; a new report when more frames were lost since the last one.
uint32_t lossStatus(ServerClientState& s) {
    const auto link = currentLink();
    const uint64_t lost = (link ? link->framesLost() : 0) + s.frames.droppedFrames();
    std::lock_guard lock(s.lossLock);
    const uint64_t now = ostrel::platform::monotonicUs();
    if (lost > s.lossesReported && (s.lossReports == 0 || now - s.lastLossReportUs >= kLossReportGapUs)) {
        s.lossesReported = lost;
        s.lastLossReportUs = now;
        ++s.lossReports;
    }
    return s.lossReports == 0 ? 0 : DRN_STATUS_FRAMES_LOST | ((s.lossReports & 0xFFu) << 16);
}

void resetLossStatus(ServerClientState& s) {
    std::lock_guard lock(s.lossLock);
    s.lossesReported = 0;
    s.lastLossReportUs = 0;
    s.lossReports = 0;
}

void status(uint32_t* status, ResultBlock* result) {
    // The server's major-error broadcasts are not turned into a status of this client; a server
    // restart and frames lost before they were read are.
    ServerClientState& s = state();
    const uint32_t lost = lossStatus(s);
    if (status != nullptr) {
        *status = s.clientStatus.load() | lost;
    }
    setResult(result, DRN_OK);
}

void wakeReceive() {
    // A link's receiveFrame does the waiting while there is one; either wait is short, so a wake that
    // misses a link coming or going costs one pause of the usual length.
    if (const auto link = currentLink()) {
        link->wakeReceiver();
    } else {
        state().frames.wake();
    }
}

int32_t receivedOwnFrame() { return state().receivedOwn ? 1 : 0; }

void receive(uint32_t* id, uint8_t* length, uint8_t* extended, uint8_t* remote, uint8_t* errorFrame, uint8_t* data,
             uint32_t* timeMs, uint32_t* timeMsOverflow, uint32_t* timeUs, ResultBlock* result) {
    ServerClientState& s = state();
    CANFrame frame{};
    const auto link = currentLink();
    if (!(link ? link->receiveFrame(frame, MsgBuffer::kGetWaitMs) : s.frames.get(frame, MsgBuffer::kGetWaitMs))) {
        if (!s.frames.created()) {
            // No buffer: keep the caller's loop at its usual pace.
            ostrel::platform::sleepMs(MsgBuffer::kGetWaitMs);
        }
        setResult(result, DRN_NO_FRAME);
        return;
    }
    s.receivedOwn = (frame.flags & kOwnFrameFlag) != 0;
    if (id != nullptr) *id = frame.id;
    if (length != nullptr) *length = frame.length;
    if (extended != nullptr) *extended = (frame.flags & DRN_FLAG_EXTENDED) ? 1 : 0;
    if (remote != nullptr) *remote = (frame.flags & DRN_FLAG_REMOTE) ? 1 : 0;
    if (errorFrame != nullptr) *errorFrame = (frame.flags & DRN_FLAG_ERROR) ? 1 : 0;
    if (data != nullptr) std::memcpy(data, frame.data, std::min<std::size_t>(frame.length, 8));
    if (timeMs != nullptr) *timeMs = frame.timeMs;
    if (timeMsOverflow != nullptr) *timeMsOverflow = 0;
    if (timeUs != nullptr) *timeUs = frame.timeUs;
    setResult(result, DRN_OK);
}

// The driver library name as the library keeps it (upper-cased): an empty one makes the server
// run its simulated bus.
int32_t sendHardwareConfiguration(ServerLink& link) {
    std::u16string name = libraryStatus().driverName;
    if (name.size() > kMaxDriverNameChars) {
        name.resize(kMaxDriverNameChars);
    }
    std::array<uint8_t, hv::kCommandDataMax> payload{};
    putUtf16(payload.data(), name);  // the terminator is already zero
    const auto length = static_cast<int32_t>(2 * (name.size() + 1));
    auto response = std::make_unique<ServerCommand>();
    const int32_t r =
        requestAtLeast(link, hv::ServerCmd_SetHardwareConfiguration, payload.data(), length, *response, 1);
    if (r != 0) {
        return r;
    }
    switch (response->data[0]) {
    case 0: return DRN_OK;
    case 6: return DRN_DRIVER_FAILURE;
    case 7: return DRN_NOT_INITIALIZED;  // the server already runs a driver, which stays
    case 8: return DRN_DELETE_FAILED;
    default: return DRN_BAD_PARAMETERS;
    }
}

// Status of a 0x11 answer as a library result (only the fact of failure reaches the caller).
int32_t busConfigurationResult(uint8_t status) {
    switch (status) {
    case 0: return DRN_OK;
    case 2: return DRN_SERVER_STATUS_2;
    case 3: return DRN_TRANSMIT_ERROR;
    case 4: return DRN_NO_FRAME;
    case 5: return DRN_NO_RESPONSE;
    case 8: return DRN_DELETE_FAILED;
    case 15: return DRN_SERVER_STATUS_15;
    default: return DRN_BAD_PARAMETERS;
    }
}

int32_t configureBus(ServerLink& link, uint32_t networkHandle) {
    uint8_t payload[6];
    hv::putBe16(payload, static_cast<uint16_t>(networkHandle));
    hv::putBe32(payload + 2, 0);  // options
    auto response = std::make_unique<ServerCommand>();
    const int32_t r = requestAtLeast(link, hv::ServerCmd_SetBusConfiguration, payload, sizeof payload, *response, 1);
    return r != 0 ? r : busConfigurationResult(response->data[0]);
}

// A new server has started and knows nothing of this client: it is told the driver, the network and
// the wish for error frames the old one had, and the program learns of the restart once through
// its status. What the engine was doing went through the old server: it fails rather than waits.
void rejoinServer(ServerLink& link) {
    ServerClientState& s = state();
    failRequest(DRN_REQUEST_FAILED, u"The CAN server was restarted; the request was broken off.");
    (void)sendHardwareConfiguration(link);
    if (const uint32_t network = s.serverNetwork.load(); network != 0) {
        (void)configureBus(link, network);
    }
    if (link.errorFrameWish()) {
        const uint8_t wish = 1;
        (void)link.send(hv::ServerCmd_SetErrorFrames, &wish, 1);
    }
    const uint32_t restarts = s.serverRestarts.fetch_add(1) + 1;
    s.clientStatus.store(DRN_STATUS_SERVER_RESTARTED | (restarts & 0xFFu));
}

const char16_t* const kOtherInstallation =
    u"The CAN server's shared objects are held in another format by a program of another installation. Please "
    u"close all CAN applications and start them from one installation.";

// Connects to the server (starting it when it does not run), registers and starts the threads; all
// within the limit of a start. `otherInstallation` learns that the objects are another installation's.
std::unique_ptr<ServerLink> openLink(bool& otherInstallation) {
    ServerClientState& s = state();
    const uint64_t deadlineUs = ostrel::platform::monotonicUs() + uint64_t{kServerStartWaitMs} * 1000;
    ServerLook look = ServerLook::NotRunning;
    if (lookForServer() != ServerLook::Running) {
        if (awaitServer(deadlineUs, look)) {
            ostrel::platform::sleepMs(kServerSettleMs);
        }
        otherInstallation = look == ServerLook::OtherInstallation;
    }
    std::unique_ptr<ServerLink> link;
    for (;;) {
        ServerLink::Options options;
        options.pollOnly = pollOnlyRequested();
        // A server that went away (killed, crashed) is replaced within a ping, or sooner by a request
        // that it leaves unanswered; the link then registers with the new one as after any restart.
        options.checkServer = [] {
            const ServerLook look = lookForServer();
            return look != ServerLook::NotStartable && look != ServerLook::OtherInstallation;
        };
        options.rejoin = rejoinServer;
        auto failure = ostrel::platform::OpenFailure::None;
        link = ServerLink::connect(static_cast<uint32_t>(::getpid()), s.frames, std::move(options), &failure);
        if (link || failure != ostrel::platform::OpenFailure::Busy ||
            ostrel::platform::monotonicUs() >= deadlineUs) {
            otherInstallation = otherInstallation || failure == ostrel::platform::OpenFailure::OtherFormat;
            break;
        }
        ostrel::platform::sleepMs(kBusyOpenRetryMs);  // a process inside an open holds it only briefly
    }
    if (!link) {
        return nullptr;
    }
    s.frames.create();
    (void)link->send(hv::ServerCmd_RegisterClient);
    if (!link->startThreads()) {
        return nullptr;
    }
    return link;
}

struct ProtocolVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
};

bool serverShowsRunning() { return NamedEvent::peek(hv::kRunningEventName) == NamedEvent::Look::Set; }

// The protocol version of the server, which learns ours from the request: 0 with `version` filled,
// or a kRequest* result. A server that runs on rings that no server of ours has ever started keeps
// them without a count of entries, the way of version 1.0; its answers could not be read.
int32_t askVersion(ServerLink& link, uint32_t timeoutMs, ProtocolVersion& version) {
    if (link.serverStarts() == 0 && serverShowsRunning()) {
        version = ProtocolVersion{1, 0};
        return DRN_OK;
    }
    const uint8_t ours[2] = {hv::kServerVersionMajor, hv::kServerVersionMinor};
    auto response = std::make_unique<ServerCommand>();
    const int32_t r = link.request(hv::ServerCmd_GetVersion, ours, sizeof ours, *response, timeoutMs);
    if (r != DRN_OK || response->length < 2) {
        return r != DRN_OK ? r : kRequestWrongResponse;
    }
    version = ProtocolVersion{response->data[0], response->data[1]};
    return DRN_OK;
}

// Client and server must speak the same major version of the protocol; empty when they do.
std::u16string versionMismatch(const ProtocolVersion& server) {
    if (server.major == hv::kServerVersionMajor) {
        return {};
    }
    const auto text = [](const ProtocolVersion& v) {
        return widen(std::to_string(v.major) + "." + std::to_string(v.minor));
    };
    return u"The CAN server speaks protocol version " + text(server) + u", this library " +
           text({hv::kServerVersionMajor, hv::kServerVersionMinor}) +
           u". Please close all CAN applications and start them from one installation.";
}

void awaitServerGone() {
    const uint32_t start = ostrel::platform::tickMs();
    while (serverShowsRunning() && ostrel::platform::tickMs() - start < kServerGoneWaitMs) {
        ostrel::platform::sleepMs(kServerGonePollMs);
    }
}

void closeLink();

int32_t initDriver() {
    ServerClientState& s = state();
    std::lock_guard lifecycle(s.lifecycle);
    if (s.driverState.load() != kNotConnected) {
        return DRN_OK;
    }
    s.stopReaper();  // the link's pings reap from now on
    (void)reapStartedServers();
    s.serverNetwork.store(0);
    s.versionMismatch.clear();
    bool otherInstallation = false;
    std::shared_ptr<ServerLink> link = openLink(otherInstallation);
    // A server whose last client has just gone still shows as running while it shuts down; a client
    // that registers then is never served. Such a server does not answer, and its running event
    // clears once it has gone.
    ProtocolVersion version;
    if (link && askVersion(*link, kServerAnswerProbeMs, version) == kRequestNoResponse) {
        link.reset();
        awaitServerGone();
        link = openLink(otherInstallation);
        if (link) {
            (void)askVersion(*link, kServerAnswerProbeMs, version);
        }
    }
    if (otherInstallation) {
        s.versionMismatch = kOtherInstallation;
    }
    // A server replaced while this client was starting is no restart to report.
    s.clientStatus.store(0);
    s.serverRestarts.store(0);
    resetLossStatus(s);
    if (!link) {
        s.frames.release();
        return kRequestNotSent;  // no shared objects: every later request fails as not sent
    }
    {
        std::lock_guard lock(s.linkLock);
        s.link = link;
    }
    if (version.major != 0 && s.versionMismatch.empty()) {
        s.versionMismatch = versionMismatch(version);
    }
    if (!s.versionMismatch.empty()) {
        closeLink();  // nothing more goes to a server of another protocol; Initialize says why
        return DRN_NOT_INITIALIZED;
    }
    s.driverState.store(kConnected);
    return sendHardwareConfiguration(*link);
}

int32_t addNetworksToHardware(uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }

void getCurrentTime(CANTimeStamp* time) {
    if (time == nullptr) {
        return;
    }
    *time = CANTimeStamp{};
    auto response = std::make_unique<ServerCommand>();
    if (requestAtLeast(hv::ServerCmd_GetCurrentTime, nullptr, 0, *response, 6) == 0) {
        time->timeMs = hv::getBe32(response->data);
        time->timeUs = hv::getBe16(response->data + 4);
    }
}

int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) {
    auto response = std::make_unique<ServerCommand>();
    if (requestAtLeast(hv::ServerCmd_EnumerateHardware, nullptr, 0, *response, 2) != 0) {
        return 0;
    }
    // Only entries that the answer really holds, and no more than the caller has room for.
    const auto held = static_cast<int32_t>((response->length - 2) / static_cast<int32_t>(hv::kHardwareEntrySize));
    const int32_t count = std::min({static_cast<int32_t>(hv::getBe16(response->data)), held,
                                    hardware != nullptr ? std::max(maxCount, 0) : 0});
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* entry = response->data + 2 + static_cast<std::size_t>(i) * hv::kHardwareEntrySize;
        HardwareInfo& info = hardware[i];
        getUtf16Field(info.name, entry, DRN_HARDWARE_NAME_CHARS);
        info.hardwareHandle = hv::getBe16(entry + hv::kHardwareNameField);
    }
    return count;
}

int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) {
    uint8_t payload[2];
    hv::putBe16(payload, static_cast<uint16_t>(hardwareHandle));
    auto response = std::make_unique<ServerCommand>();
    if (requestAtLeast(hv::ServerCmd_EnumerateNetworks, payload, sizeof payload, *response, 2) != 0) {
        return 0;
    }
    const auto held = static_cast<int32_t>((response->length - 2) / static_cast<int32_t>(hv::kNetworkEntrySize));
    const int32_t count = std::min({static_cast<int32_t>(hv::getBe16(response->data)), held,
                                    networks != nullptr ? std::max(maxCount, 0) : 0});
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* entry = response->data + 2 + static_cast<std::size_t>(i) * hv::kNetworkEntrySize;
        NetworkInfo& info = networks[i];
        getUtf16Field(info.name, entry, DRN_NETWORK_NAME_CHARS);
        info.networkHandle = hv::getBe16(entry + hv::kNetworkNameField);
        info.baudKbit = hv::getBe16(entry + hv::kNetworkNameField + 2);
    }
    return count;
}

int32_t addNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) {
    std::array<uint8_t, hv::kAddNetworkPayload> payload{};
    std::u16string_view text(name != nullptr ? name : u"");
    if (name != nullptr) {
        text = std::u16string_view(name, ostrel::platform::u16len(name));
    }
    putUtf16(payload.data(), text.substr(0, hv::kNetworkNameChars));
    hv::putBe16(payload.data() + hv::kNetworkNameField, static_cast<uint16_t>(baudKbit));
    hv::putBe16(payload.data() + hv::kNetworkNameField + 2, static_cast<uint16_t>(hardwareHandle));
    auto response = std::make_unique<ServerCommand>();
    // Written again to a new server, it is marked: the network may be stored already.
    if (requestAtLeast(hv::ServerCmd_AddNetwork, payload.data(), static_cast<int32_t>(payload.size()), *response, 3,
                       ServerLink::Repeat::Marked) != 0 ||
        response->data[0] != 0) {
        return -1;
    }
    return hv::getBe16(response->data + 1);
}

int32_t deleteNetwork(uint32_t networkHandle) {
    uint8_t payload[2];
    hv::putBe16(payload, static_cast<uint16_t>(networkHandle));
    auto response = std::make_unique<ServerCommand>();
    const int32_t r =
        requestAtLeast(hv::ServerCmd_DeleteNetwork, payload, sizeof payload, *response, 1, ServerLink::Repeat::Marked);
    if (r != 0) {
        return r;
    }
    switch (response->data[0]) {
    case 0: return DRN_OK;
    case 12: return DRN_NETWORK_IN_USE;
    case 13: return DRN_REFUSED;
    default: return DRN_DELETE_FAILED;
    }
}

int32_t getBaudrate(uint32_t networkHandle) {
    uint8_t payload[2];
    hv::putBe16(payload, static_cast<uint16_t>(networkHandle));
    auto response = std::make_unique<ServerCommand>();
    if (requestAtLeast(hv::ServerCmd_GetBaudrate, payload, sizeof payload, *response, 2) != 0) {
        return 0;
    }
    return hv::getBe16(response->data);
}

void initialize(uint32_t networkHandle, const char16_t* /*clientName*/, uint32_t /*windowHandle*/, uint32_t reserved,
                ResultBlock* result) {
    ServerClientState& s = state();
    std::lock_guard lifecycle(s.lifecycle);
    if (!s.versionMismatch.empty()) {
        setResult(result, DRN_NOT_INITIALIZED, s.versionMismatch);
        return;
    }
    const auto link = currentLink();
    ProtocolVersion version;
    if (!link || askVersion(*link, kServerRequestTimeoutMs, version) != DRN_OK) {
        std::u16string message = u"Failed to get the CAN server version. Please restart all CAN applications.";
        {
            std::lock_guard lock(s.serverStartLock);
            if (!s.serverMissing.empty()) {
                message += u" " + s.serverMissing;
            }
        }
        setResult(result, DRN_NOT_INITIALIZED, message);
        return;
    }
    if (version.major * 100 + version.minor < 100) {
        setResult(result, DRN_NOT_INITIALIZED, u"The CAN server is too old. Please reinstall the application.");
        return;
    }
    // A server started since InitDriver may be of another installation.
    if (const std::u16string mismatch = versionMismatch(version); !mismatch.empty()) {
        setResult(result, DRN_NOT_INITIALIZED, mismatch);
        return;
    }
    if (configureBus(*link, networkHandle) != DRN_OK) {
        setResult(result, DRN_NOT_INITIALIZED, u"Failed to configure can bus");
        return;
    }
    link->setBusHandle(networkHandle);
    s.serverNetwork.store(networkHandle);
    s.reserved.store(reserved);
    if (s.driverState.load() != kHardwareInitialised) {
        if (!engineStart()) {
            setResult(result, DRN_NOT_INITIALIZED, u"Failed to start the CANopen engine");
            return;
        }
        s.driverState.store(kHardwareInitialised);
    }
    setResult(result, DRN_OK);
}

void switchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result) {
    if (connect != 0 && connect != 1) {
        return;
    }
    ServerClientState& s = state();
    std::lock_guard lifecycle(s.lifecycle);
    uint8_t payload[3];
    payload[0] = connect == 1 ? 0 : 1;  // 0 connect, 1 disconnect
    hv::putBe16(payload + 1, static_cast<uint16_t>(networkHandle));
    auto response = std::make_unique<ServerCommand>();
    int32_t r = requestAtLeast(hv::ServerCmd_SwitchNetworks, payload, sizeof payload, *response, 1);
    if (r == 0 && response->data[0] != 0) {
        r = response->data[0] == 3 ? DRN_TRANSMIT_ERROR : DRN_DELETE_FAILED;
    }
    const auto link = currentLink();
    if (r != 0 || !link) {
        setResult(result, DRN_NOT_INITIALIZED,
                  connect == 1 ? u"Failed to connect to the network (switch network - general). Please restart the application"
                               : u"Failed to disconnect from the network. Please restart the application");
        return;
    }
    link->setBusHandle(networkHandle);
    s.serverNetwork.store(connect == 1 ? networkHandle : 0);
    setResult(result, DRN_OK);
}

void closeLink() {
    ServerClientState& s = state();
    std::shared_ptr<ServerLink> link;
    {
        std::lock_guard lock(s.linkLock);
        link = std::move(s.link);
        s.link.reset();
    }
    if (!link) {
        return;
    }
    link->stopPing();
    (void)link->send(hv::ServerCmd_UnregisterClient);
    link->stopReader();
    // A transmitter still holding the link finishes with it; the objects close with the last one.
    link.reset();
    s.frames.release();
}

void close() {
    ServerClientState& s = state();
    // A request that waits for an answer holds Initialize or SwitchNetworks: let it go at once.
    if (const auto link = currentLink()) {
        link->abandonRequests();
    }
    std::lock_guard lifecycle(s.lifecycle);
    if (s.driverState.load() == kNotConnected) {
        return;
    }
    if (s.driverState.load() == kHardwareInitialised) {
        engineStop();
        s.driverState.store(kConnected);
    }
    closeLink();
    reapLater();
    s.driverState.store(kNotConnected);
}

// Leaving the library closes the connection as Close does.
void closeDriver() { close(); }

void reset() {
    if (state().driverState.load() == kHardwareInitialised) {
        (void)sendCommand(hv::ServerCmd_ResetHardware);
    }
}

int32_t errorFrames(int32_t on) {
    if (on != 0 && on != 1) {
        return 0;
    }
    const auto link = currentLink();
    const uint8_t wish = on == 1 ? 1 : 0;
    if (!link || !link->send(hv::ServerCmd_SetErrorFrames, &wish, 1)) {
        return 0;
    }
    link->setErrorFrameWish(on == 1);
    return 1;
}

void oneShot(int32_t on) {
    if (on == 0 || on == 1) {
        state().oneShot.store(on);
    }
}

void selfReceive(int32_t on, ResultBlock* result) {
    // The server decides about echoes; a client cannot switch them off.
    setResult(result, on != 0 ? DRN_OK : DRN_REFUSED);
}

int32_t isNetworkFunctional() { return 1; }

void transmit(uint32_t id, uint8_t length, const uint8_t* data, int32_t extended, int32_t remote, int32_t errorFlag,
              ResultBlock* result) {
    if (length > 8 || (length > 0 && data == nullptr)) {
        setResult(result, DRN_BAD_PARAMETERS);
        return;
    }
    CANFrame frame{};
    frame.id = id;
    frame.length = length;
    frame.flags = static_cast<uint8_t>((extended != 0 ? DRN_FLAG_EXTENDED : 0) | (remote != 0 ? DRN_FLAG_REMOTE : 0) |
                                       (errorFlag != 0 ? DRN_FLAG_ERROR : 0));
    if (length > 0) {
        std::memcpy(frame.data, data, length);
    }
    hv::ServerFrame entry{};
    entry.id = frame.id;
    entry.length = frame.length;
    entry.flags = frame.flags;
    std::memcpy(entry.data, frame.data, sizeof entry.data);

    const auto link = currentLink();
    // A server on another network than ours takes no frame of ours, and that is no error.
    const bool done = link && link->sendFrame(entry) != ServerLink::FrameOutcome::NotWritten;
    if (!done) {
        setResult(result, DRN_TRANSMIT_ERROR, kTransmitError);
        return;
    }
    ServerClientState& s = state();
    TransmitCallback callback = nullptr;
    void* user = nullptr;
    {
        std::lock_guard lock(s.transmitCallbackLock);
        callback = s.transmitCallback;
        user = s.transmitUser;
    }
    if (callback != nullptr) {
        callback(&frame, user);
    }
    setResult(result, DRN_OK);
}

void setTransmitCallback(TransmitCallback callback, void* user) {
    ServerClientState& s = state();
    std::lock_guard lock(s.transmitCallbackLock);
    s.transmitCallback = callback;
    s.transmitUser = user;
}

} // namespace

void fillServerClientOps(DriverOps& ops) {
    ops = DRENNIC_DRIVER_OPS_OF_SCOPE;
    ops.WakeReceive = wakeReceive;
    ops.ReceivedOwnFrame = receivedOwnFrame;
}

} // namespace drennic
