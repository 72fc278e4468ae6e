// The server's command dispatcher with its network table, as two clients add and delete networks
// while the server goes away and a new one starts: each request's sending may be answered, carried out
// with its answer lost (the server dies before it answers, or the client stops waiting while the
// server runs on), or lost before it is carried out. A request without its answer is sent again with
// the repeat mark and its request tag, to the new server or the same one, until it is answered.
//
// What a user expects:
// - a repeat never acts on another client's network: a repeated delete deletes none of another's, and
//   a repeated add is never answered with another's;
// - a repeat is answered with what its first sending made, and adds nothing more;
// - in the end every client owns exactly the networks it was told it added and did not delete: each
//   stored network is believed by exactly one client, and no client believes in one that is gone.
#include "fuzz_script.h"
#include "link_fuzz.h"

#include "can_bus.h"
#include "client_list.h"
#include "command_dispatcher.h"
#include "net_table.h"
#include "server_log.h"
#include "shared_mem.h"

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace {

using namespace ostrel::halvorn;
using ostrel::fuzz::Script;

constexpr int kMaxRequests = 16;
constexpr int kMaxSendings = 4;
constexpr std::array<uint32_t, 2> kClientIds = {4101, 4102};  // no process of these ids need exist

// The registry the network table keeps its networks in: a folder of the process's own, gone at exit
// (and when a broken property aborts the process).
std::string& registryFolder() {
    static std::string folder;
    return folder;
}
void removeRegistry() {
    std::error_code ignored;
    if (!registryFolder().empty()) std::filesystem::remove_all(registryFolder(), ignored);
}
extern "C" void onAbort(int signal) {
    removeRegistry();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// What outlives a server: the shared objects and each client's end of them.
struct Link {
    ServerLog log;
    std::unique_ptr<SharedMem> sharedMem;
    std::array<std::unique_ptr<RingClient>, 2> clients;

    Link() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fuzz-dispatcher-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "no registry folder");
        registryFolder() = pattern;
        ::setenv("OSTREL_REGISTRY_DIR", pattern.c_str(), 1);
        std::atexit(removeRegistry);
        std::signal(SIGABRT, onAbort);
        ostrel::fuzz::usePrivateIpcNames();
        sharedMem = SharedMem::Construct(log);
        FUZZ_CHECK(sharedMem != nullptr, "the server's shared objects were not made");
        for (std::size_t i = 0; i < clients.size(); ++i) {
            clients[i] = RingClient::connect(kClientIds[i]);
            FUZZ_CHECK(clients[i] != nullptr, "client %zu could not connect", i);
        }
        ostrel::fuzz::forgetIpcNames();
    }
};

Link& link() {
    static const std::unique_ptr<Link> instance = std::make_unique<Link>();
    return *instance;
}

// One server's life: its table, bus, client list and dispatcher over the shared objects.
struct Server {
    NetTable table;
    ClientList clientList;
    CanBus bus;
    CommandDispatcher dispatcher;

    explicit Server(Link& l)
        : clientList(l.log, [](bool) {}),
          bus(l.log, *l.sharedMem, table,
              CanBusPeers{[this](uint32_t handle) { return clientList.IsNetworkInUse(handle); },
                          [this] { clientList.UpdateErrorFrames(); }, [](uint32_t) {}}),
          dispatcher(l.log, *l.sharedMem, bus, clientList) {
        for (uint32_t id : kClientIds) {
            ServerCommand c{};
            c.code = ServerCmd_RegisterClient;
            c.processId = id;
            dispatcher.HandleCommand(c);
        }
    }
};

// The user networks stored now: handle -> name and bit rate.
std::map<uint32_t, std::pair<std::string, uint32_t>> storedNetworks() {
    std::vector<NetworkInfo> records(200);
    const int32_t count = NetTable().Enumerate(records.data(), static_cast<int32_t>(records.size()), 0);
    std::map<uint32_t, std::pair<std::string, uint32_t>> out;
    for (int32_t i = 0; i < count; ++i) {
        const NetworkInfo& n = records[static_cast<std::size_t>(i)];
        if (n.networkHandle < NetTable::kFirstUserHandle || NetTable::isBuiltInHandle(n.networkHandle)) continue;
        std::string name;
        for (std::size_t k = 0; k < DRN_NETWORK_NAME_CHARS && n.name[k] != 0; ++k) name.push_back(static_cast<char>(n.name[k]));
        out[n.networkHandle] = {name, n.baudKbit};
    }
    return out;
}

ServerCommand addCommand(uint32_t client, uint32_t tag, const std::string& name, uint16_t baud, bool repeated) {
    ServerCommand c{};
    c.code = ServerCmd_AddNetwork;
    putRequestTag(c, tag);
    c.processId = client;
    for (std::size_t i = 0; i < name.size(); ++i) c.data[2 * i] = static_cast<uint8_t>(name[i]);
    putBe16(c.data + kNetworkNameField, baud);
    putBe16(c.data + kNetworkNameField + 2, 0);
    c.length = static_cast<int32_t>(kAddNetworkPayload);
    if (repeated) c.data[c.length++] = kRequestRepeated;
    return c;
}

ServerCommand deleteCommand(uint32_t client, uint32_t tag, uint16_t handle, bool repeated) {
    ServerCommand c{};
    c.code = ServerCmd_DeleteNetwork;
    putRequestTag(c, tag);
    c.processId = client;
    putBe16(c.data, handle);
    c.length = 2;
    if (repeated) c.data[c.length++] = kRequestRepeated;
    return c;
}

// The client's answer to a command just handled (at most one; the dispatcher answers at once).
std::optional<ServerCommand> answerFor(RingClient& client, uint32_t tag) {
    std::optional<ServerCommand> answer;
    ServerCommand out{};
    for (;;) {
        const RingRead r = client.readResponse(out);
        if (r.status == RingReadStatus::Empty || r.status == RingReadStatus::LockFailed) break;
        if (r.status == RingReadStatus::Entry && requestTagOf(out) == tag) answer = out;
    }
    return answer;
}

enum Fate : uint8_t { Answered, AnswerLostServerGone, LostServerGone, AnswerLostServerStays };

void run(const uint8_t* data, std::size_t size) {
    Link& l = link();
    Script script(data, size);
    {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(registryFolder()) / "Software", ignored);
        std::filesystem::remove_all(std::filesystem::path(registryFolder()) / "HKEY_CURRENT_USER", ignored);
        for (const auto& entry : std::filesystem::directory_iterator(registryFolder(), ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
    for (auto& c : l.clients) (void)answerFor(*c, 0xFFFFFFFF);  // what an earlier input left unread
    auto server = std::make_unique<Server>(l);
    std::map<uint32_t, uint32_t> owner;                 // handle -> the client whose command stored it
    std::array<std::set<uint32_t>, 2> believes;         // what each client was told it owns
    std::array<uint32_t, 2> tags = {0x100, 0x200};
    bool anyRepeat = false;

    // Each client has at most one request under way; the input says whose request takes its next
    // sending, so that one client's request runs while another's waits for its repeat.
    struct Pending {
        bool wantsDelete = false;
        uint16_t handle = 0;
        std::string name;
        uint16_t baud = 0;
        uint32_t tag = 0;
        int sendings = 0;
        bool carriedOut = false;
        uint32_t madeByFirst = 0;  // the network the first sending that was carried out stored
    };
    std::array<std::optional<Pending>, 2> pending;
    int started = 0;
    const int requests = 1 + static_cast<int>(script.pick(kMaxRequests));
    for (int step = 0; step < 4 * kMaxRequests && (started < requests || pending[0] || pending[1]); ++step) {
        const uint8_t op = script.byte();
        std::size_t c = op & 1;
        if (!pending[c] && started == requests) c ^= 1;
        const uint32_t id = kClientIds[c];
        if (!pending[c]) {
            Pending p;
            p.wantsDelete = (op & 2) != 0 && !believes[c].empty();
            if (p.wantsDelete) {
                auto it = believes[c].begin();
                std::advance(it, static_cast<long>(script.pick(static_cast<uint32_t>(believes[c].size()))));
                p.handle = static_cast<uint16_t>(*it);
            }
            p.name = (op & 4) != 0 ? "NetA" : "NetB";
            p.baud = (op & 8) != 0 ? 125 : 250;
            p.tag = ++tags[c];
            pending[c] = p;
            ++started;
        }
        Pending& p = *pending[c];
        const bool repeated = p.sendings > 0;
        anyRepeat = anyRepeat || repeated;
        const Fate fate = p.sendings == kMaxSendings - 1 ? Answered : static_cast<Fate>((op >> 5) & 3);
        ++p.sendings;
        if (fate == LostServerGone) {
            if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) std::fprintf(stderr, "client %zu's sending lost, new server\n", c + 1);
            server = std::make_unique<Server>(l);
            continue;
        }
        const ServerCommand command = p.wantsDelete ? deleteCommand(id, p.tag, p.handle, repeated)
                                                    : addCommand(id, p.tag, p.name, p.baud, repeated);
        const auto before = storedNetworks();
        server->dispatcher.HandleCommand(command);
        const auto after = storedNetworks();
        const std::optional<ServerCommand> answer = answerFor(*l.clients[c], p.tag & kRequestTagMask);
        FUZZ_CHECK(answer.has_value(), "client %zu got no answer to its %s", c + 1, p.wantsDelete ? "delete" : "add");

        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "client %zu %s%s %u (fate %d): answer %d %d\n", c + 1, repeated ? "repeats " : "",
                         p.wantsDelete ? "delete" : "add", p.wantsDelete ? p.handle : 0, static_cast<int>(fate),
                         answer->data[0], answer->length >= 3 ? getBe16(answer->data + 1) : 0);
        }
        std::set<uint32_t> added, removed;
        for (const auto& [h, what] : after) {
            if (before.count(h) == 0) added.insert(h);
        }
        for (const auto& [h, what] : before) {
            if (after.count(h) == 0) removed.insert(h);
        }
        // Until a repeat has run, every client knows what it owns: a delete of another's is a fault of
        // the plain command, not of a repeat.
        const char* finding = anyRepeat ? "link-repeat" : "";
        for (uint32_t h : removed) {
            const auto it = owner.find(h);
            FUZZ_PROPERTY(finding, it == owner.end() || it->second == c,
                          "client %zu's %sdelete of network %u deleted network %u of client %u", c + 1,
                          repeated ? "repeated " : "", p.handle, h, it == owner.end() ? 0 : it->second + 1);
            owner.erase(h);
        }
        for (uint32_t h : added) owner[h] = static_cast<uint32_t>(c);

        const bool done = answer->length >= 1 && answer->data[0] == ServerStatus::Done;
        if (!p.wantsDelete) {
            FUZZ_CHECK(added.size() <= 1, "one add stored %zu networks", added.size());
            const uint32_t answered = done && answer->length >= 3 ? getBe16(answer->data + 1) : 0;
            if (answered != 0) {
                const auto it = owner.find(answered);
                FUZZ_PROPERTY(finding, it != owner.end() && it->second == c,
                              "client %zu's %sadd was answered with network %u, which client %u stored", c + 1,
                              repeated ? "repeated " : "", answered, it == owner.end() ? 0 : it->second + 1);
            }
            if (repeated && p.carriedOut) {
                FUZZ_PROPERTY("link-repeat", added.empty() && answered == p.madeByFirst,
                              "client %zu's repeated add was answered with %u and stored %zu more; "
                              "its first sending stored %u",
                              c + 1, answered, added.size(), p.madeByFirst);
            }
            if (!p.carriedOut && !added.empty()) {
                p.madeByFirst = *added.begin();
                p.carriedOut = true;
            }
        }
        if (fate == Answered) {
            if (done && p.wantsDelete) believes[c].erase(p.handle);
            if (done && !p.wantsDelete && answer->length >= 3) believes[c].insert(getBe16(answer->data + 1));
            pending[c].reset();
            continue;
        }
        if (fate == AnswerLostServerGone) server = std::make_unique<Server>(l);
    }

    // Each stored network is one client's, and that client knows it; no client believes in one that went.
    const auto stored = storedNetworks();
    const char* finding = anyRepeat ? "link-repeat" : "";
    for (const auto& [h, what] : stored) {
        const bool first = believes[0].count(h) != 0;
        const bool second = believes[1].count(h) != 0;
        FUZZ_PROPERTY(finding, first != second, "network %u (%s) is believed by %s", h, what.first.c_str(),
                      first ? "both clients" : "no client");
    }
    for (std::size_t c = 0; c < 2; ++c) {
        for (uint32_t h : believes[c]) {
            FUZZ_PROPERTY(finding, stored.count(h) != 0, "client %zu believes in network %u, which is gone", c + 1, h);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        run(data, size);
    } catch (const ostrel::fuzz::AwaitedFinding&) {
    }
    return 0;
}
