// The reference Infodriver, in-process, fed scripted raw client streams. One
// to three clients connect, write their bytes (reading whatever the server
// sends meanwhile), close their sending side and read until the server
// closes. Checked for every input:
// - a client whose stream breaks the link's framing (a length outside
//   20..16384, an unknown message number, a frame cut off by the end) is
//   dropped for that fault; any other client leaves as "disconnected";
//   nobody is cut off;
// - every connection ends within a deadline, the server's client count
//   returns to 0 and the process holds as many sockets as before.
// Liveness probes and the drain cut-off are set far beyond a run, so the
// verdicts do not depend on timing; mode requests time out at once.

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "infodriver_server.h"
#include "transport/info_frame.h"

namespace {

using namespace vorn;
using Clock = std::chrono::steady_clock;

constexpr int kDevice = 1;

// Every message number of the link, so that most frames are known ones.
constexpr std::array<uint32_t, 20> kMessages = {
    XOV_DEVFIND, XOV_DEVATTACHED, XOV_DEVQUERY, XOV_DEVSTATE, XOV_DATA, XOV_INFODISCONNECTED, XOV_REQDEVGORXONLY,
    XOV_REQDEVGOTXRX, XOV_INQDEVGOTXRX, XOV_DEVICEIDINUSE, XOV_DEVCLOSE, XOV_SLOTWRITE, XOV_SLOTREAD,
    XOV_SLOTCHANGED, XOV_INFOWINDOW, XOV_INFOTEXT, XOV_SLOTWRITENEG, XOV_GETMODE, XOV_SETMODE, XOV_LISTCLIENTS};

void Fail(const char* what) {
    std::fprintf(stderr, "infodriver_server_fuzz: set-up failed: %s\n", what);
    std::abort();
}

// Sockets the process holds. (Only sockets: the sanitizer runtime opens
// pipes of its own now and then, e.g. for a leak check.)
int CountSockets() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) Fail("opendir /proc/self/fd");
    int n = 0;
    while (dirent* e = readdir(dir)) {
        char target[64];
        const std::string path = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
        if (len > 7 && std::strncmp(target, "socket:", 7) == 0) ++n;
    }
    closedir(dir);
    return n;
}

struct World {
    std::string dir;
    std::unique_ptr<InfodriverServer> server;
    std::mutex logMutex;
    std::vector<std::string> log;
    int sockets = 0;

    World() {
        char dirTemplate[] = "/tmp/infodriver-fuzz-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) Fail("mkdtemp");
        dir = dirTemplate;
        static std::string removeAtExit;
        removeAtExit = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        InfodriverOptions options;
        options.devices = {kDevice};
        options.socketDir = dir;
        options.maxSlotsPerDevice = 2000;
        options.requestTimeoutMs = 1;
        options.probeIntervalMs = 3600 * 1000;
        options.drainTimeoutMs = 3600 * 1000;
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        };
        server = std::make_unique<InfodriverServer>(options);
        std::string error;
        if (!server->Start(&error)) Fail(error.c_str());
        server->RunInThread();
        sockets = CountSockets();
    }

    std::vector<std::string> TakeLog() {
        std::lock_guard lock(logMutex);
        return std::move(log);
    }
};

World& TheWorld() {
    static World* world = new World();
    return *world;
}

// One scripted client: its bytes and whether the framing breaks in them.
struct Script {
    std::string bytes;
    bool malformed = false;
};

Script MakeScript(FuzzedDataProvider& in) {
    Script s;
    const int steps = in.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: {  // raw bytes, anything at all
                s.bytes += in.ConsumeRandomLengthString(48);
                break;
            }
            case 1: {  // a length prefix alone (often out of range)
                const uint32_t length = in.ConsumeIntegral<uint32_t>();
                for (int b = 0; b < 4; ++b) s.bytes.push_back(static_cast<char>(length >> (8 * b)));
                break;
            }
            default: {  // a well-formed frame, mostly of a known message
                InfoFrame f;
                f.message = in.ConsumeIntegralInRange<int>(0, 9) == 0
                                ? in.ConsumeIntegral<uint32_t>()
                                : kMessages[in.ConsumeIntegralInRange<size_t>(0, kMessages.size() - 1)];
                f.id = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(1, 40);
                f.flags = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>();
                f.wParam = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-3, 5) : in.ConsumeIntegral<int32_t>();
                f.lParam = in.ConsumeBool() ? kDevice : in.ConsumeIntegral<int32_t>();
                f.text = in.ConsumeRandomLengthString(in.ConsumeBool() ? 16 : 600);
                s.bytes += EncodeInfoFrame(f);
                break;
            }
        }
    }
    // What the server must make of it: the first framing fault decides.
    InfoFrameReader reader;
    reader.Append(s.bytes.data(), s.bytes.size());
    InfoFrame f;
    for (;;) {
        const InfoFrameReader::Result r = reader.Next(f);
        if (r == InfoFrameReader::Result::kError) {
            s.malformed = true;
            break;
        }
        if (r == InfoFrameReader::Result::kNeedMore) {
            s.malformed = reader.Buffered() > 0;
            break;
        }
        if (!IsKnownInfoMessage(f.message)) {
            s.malformed = true;
            break;
        }
    }
    return s;
}

struct Client {
    int fd = -1;
    Script script;
    size_t sent = 0;
    bool shutDown = false;  // our sending side closed
    bool ended = false;     // the server closed the connection
};

// Sends what the socket takes; false when the server has gone.
bool Push(Client& c) {
    while (c.sent < c.script.bytes.size()) {
        const ssize_t n = send(c.fd, c.script.bytes.data() + c.sent, c.script.bytes.size() - c.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        return false;
    }
    return true;
}

// Reads and drops what the server sent; true at the end of the connection.
bool Pull(Client& c) {
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n == 0) return true;
        return errno != EAGAIN && errno != EINTR;  // a reset ends it too
    }
}

// The verdict line of client id in the log: "dropped", "disconnected",
// "cut off", or "" when there is none.
std::string Verdict(const std::vector<std::string>& log, const std::string& id) {
    const std::string who = "infodriver: device 1: client " + id;
    for (const std::string& line : log) {
        if (line.rfind(who, 0) != 0) continue;
        const std::string rest = line.substr(who.size());
        if (rest == " disconnected") return "disconnected";
        if (rest.rfind(": ", 0) == 0 && rest.size() > 20 &&
            rest.compare(rest.size() - 20, 20, "; connection dropped") == 0) {
            return "dropped";
        }
        if (rest.rfind(" cut off", 0) == 0) return "cut off";
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    FuzzedDataProvider in(data, size);
    w.TakeLog();

    std::vector<Client> clients(in.ConsumeIntegralInRange<size_t>(1, 3));
    for (Client& c : clients) c.script = MakeScript(in);

    const std::string path = w.server->SocketPath(kDevice);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    for (Client& c : clients) {
        c.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c.fd < 0 || connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");
    }

    // Every connection must end well within this.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<pollfd> fds;
        for (Client& c : clients) {
            if (c.ended) continue;
            if (!c.shutDown) {
                if (!Push(c)) {
                    c.shutDown = true;  // the server dropped us while we wrote
                } else if (c.sent == c.script.bytes.size()) {
                    shutdown(c.fd, SHUT_WR);
                    c.shutDown = true;
                }
            }
            const bool wantsOut = !c.shutDown;
            fds.push_back({c.fd, static_cast<short>(POLLIN | (wantsOut ? POLLOUT : 0)), 0});
        }
        if (fds.empty()) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        FUZZ_CHECK(left > 0);  // a connection the server never ended
        poll(fds.data(), fds.size(), static_cast<int>(left));
        for (Client& c : clients) {
            if (!c.ended && Pull(c)) c.ended = true;
        }
    }
    for (Client& c : clients) close(c.fd);

    // The server's verdict on each client, in connection order.
    const std::vector<std::string> log = w.TakeLog();
    std::vector<std::string> ids;
    const std::string connectedPrefix = "infodriver: device 1: client ";
    for (const std::string& line : log) {
        if (line.rfind(connectedPrefix, 0) == 0 && line.size() > connectedPrefix.size() + 10 &&
            line.compare(line.size() - 10, 10, " connected") == 0) {
            ids.push_back(line.substr(connectedPrefix.size(), line.size() - 10 - connectedPrefix.size()));
        }
    }
    FUZZ_CHECK(ids.size() == clients.size());
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::string verdict = Verdict(log, ids[i]);
        if (verdict != (clients[i].script.malformed ? "dropped" : "disconnected")) {
            std::fprintf(stderr, "client %s: verdict '%s', stream %s\n", ids[i].c_str(), verdict.c_str(),
                         clients[i].script.malformed ? "malformed" : "well-formed");
            for (const std::string& line : log) std::fprintf(stderr, "  %s\n", line.c_str());
            FUZZ_CHECK(false);
        }
    }

    FUZZ_CHECK(w.server->WaitUntil([&] { return w.server->ClientCount(kDevice) == 0; }, std::chrono::seconds(5)));
    FUZZ_CHECK(CountSockets() == w.sockets);
    return 0;
}
