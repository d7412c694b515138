#include "world.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vorn::bench {

namespace {

void MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw BenchError("cannot create " + path + ": " + std::strerror(errno));
    }
}

// A port nobody listens on now (the kernel's choice); the driver binds it a
// moment later.
int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) close(fd);
    if (!ok) throw BenchError(std::string("no free port: ") + std::strerror(errno));
    return ntohs(addr.sin_port);
}

bool IsSocket(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

const char* SystemName(System s) { return s == System::Driver ? "driver" : "relay"; }

World::World(EventLoop& loop, const Binaries& bins, const std::string& dir, int panels, int ptyPanels,
             bool statusPage)
    : loop_(loop), bins_(bins), dir_(dir), panelTotal_(panels), ptyTotal_(ptyPanels), statusPage_(statusPage) {}

World::~World() {
    StopSystems();
    control_.reset();
    if (infodriver_) infodriver_->Stop(std::chrono::seconds(5));
    panels_.clear();
    ptys_.clear();
}

void World::StopSystems() {
    for (auto& s : systems_) {
        s->endExpected = true;
        s->Stop(std::chrono::seconds(5));
    }
}

void World::Start(Clock::duration alivePeriod) {
    MakeDir(dir_);
    for (const char* sub : {"/sock", "/com", "/sys", "/sys/config", "/sys/config/system", "/sys/logs"}) {
        MakeDir(dir_ + sub);
    }
    env_ = {{"QX_ROOT", dir_},
            {"QX_SYSTEM", "sys"},
            {"VORN_COM_DIR", dir_ + "/com"},
            {"VORN_INFODRIVER_DIR", dir_ + "/sock"},
            {"QT_QPA_PLATFORM", "offscreen"}};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') {
        MakeDir(dir_ + "/xdg");
        env_.emplace_back("XDG_RUNTIME_DIR", dir_ + "/xdg");
    }

    // The socket appears once the Infodriver listens; inotify says when.
    const std::string socketPath = dir_ + "/sock/infodriver-" + std::to_string(kDevice) + ".sock";
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, (dir_ + "/sock").c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        if (watch >= 0) close(watch);
        throw BenchError(std::string("inotify: ") + std::strerror(errno));
    }
    loop_.Watch(watch, nullptr, [watch](short) {
        char buffer[4096];
        while (read(watch, buffer, sizeof buffer) > 0) {
        }
    });
    infodriver_ = std::make_unique<ChildProcess>();
    std::string error;
    if (!infodriver_->Start(bins_.infodriver, {std::to_string(kDevice)}, env_, dir_ + "/infodriver.log", &error)) {
        loop_.Unwatch(watch);
        close(watch);
        throw BenchError("infodriver: " + error);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const bool up = loop_.RunUntil(
        [&] { return IsSocket(socketPath) || !infodriver_->Running(); },
        deadline);
    loop_.Unwatch(watch);
    close(watch);
    if (!up || !infodriver_->Running()) {
        throw BenchError("infodriver did not start:\n" + TailOfFile(infodriver_->logPath(), 10));
    }

    for (int n = 1; n <= panelTotal_; ++n) {
        panels_.push_back(std::make_unique<FakePanel>(loop_, n, static_cast<uint8_t>(n)));
        panels_.back()->Listen();
        panels_.back()->SetAlive(alivePeriod, alivePeriod * (n - 1) / panelTotal_);
    }
    for (int n = panelTotal_ + 1; n <= panelTotal_ + ptyTotal_; ++n) {
        ptys_.push_back(std::make_unique<PtyPanel>(loop_, n, static_cast<uint8_t>(n), dir_ + "/com"));
        ptys_.back()->Open();
        ptys_.back()->SetAlive(alivePeriod);
    }
    if (statusPage_) statusPort_ = FreeLoopbackPort();
    WriteSettings();

    // The socket may exist a moment before the Infodriver accepts on it.
    control_ = std::make_unique<ControlClient>(loop_);
    for (int attempt = 0;; ++attempt) {
        try {
            control_->Attach(socketPath, kDevice);
            break;
        } catch (const BenchError&) {
            if (attempt >= 50) throw;
            control_ = std::make_unique<ControlClient>(loop_);
            loop_.RunFor(std::chrono::milliseconds(20));
        }
    }
}

void World::WriteSettings() const {
    char name[32];
    std::snprintf(name, sizeof name, "/DEV_%03d.ini", kDevice);
    std::ofstream out(dir_ + "/sys/config/system" + name);
    out << "[Pellax_Panel]\nDebugMode=0\nLogMode=0\nRefreshOnConnection=1\nDriver_Identity=bench\n"
        << "Speed=38400\nDataBits=8\nStopBits=1\nParity=E\n";
    if (statusPort_ != 0) out << "StatusHttpPort=" << statusPort_ << "\n";
    for (const auto& p : panels_) {
        char id[8];
        std::snprintf(id, sizeof id, "%02X", p->address());
        const bool renamed = renamedFrom_ > 0 && p->number() >= renamedFrom_;
        out << "[Pellax_Panel_" << p->number() << "]\nPanel_ID=BENCH-" << p->number()
            << (renamed ? renameSuffix_ : "") << "\nPanel_Location=bench\nPanel_Type=CP-2048E\nPanel_Comms_ID=" << id
            << "\nTCPIP_Address=127.0.0.1\nTCPIP_Port=" << p->port() << "\n";
    }
    for (const auto& p : ptys_) {
        char id[8];
        std::snprintf(id, sizeof id, "%02X", p->address());
        out << "[Pellax_Panel_" << p->number() << "]\nPanel_ID=BENCH-" << p->number()
            << "\nPanel_Location=bench\nPanel_Type=CP-2048E\nPanel_Comms_ID=" << id
            << "\nSerial_ComPort=" << p->number() << "\n";
    }
    if (!out) throw BenchError("cannot write the settings file in " + dir_);
}

void World::RewriteSettings(int from, const std::string& suffix) {
    renamedFrom_ = from;
    renameSuffix_ = suffix;
    WriteSettings();
}

ChildProcess& World::Launch(System s) {
    auto child = std::make_unique<ChildProcess>();
    const std::string log = dir_ + "/" + SystemName(s) + "-" + std::to_string(systems_.size() + 1) + ".log";
    std::vector<std::string> args{std::to_string(kDevice)};
    if (s == System::Relay) {
        for (const auto& p : panels_) {
            args.push_back("127.0.0.1:" + std::to_string(p->port()) + ":" + std::to_string(p->address()));
        }
    }
    std::string error;
    if (!child->Start(s == System::Driver ? bins_.driver : bins_.relay, args, env_, log, &error)) {
        throw BenchError(std::string(SystemName(s)) + ": " + error);
    }
    systems_.push_back(std::move(child));
    return *systems_.back();
}

void World::CheckSystems() const {
    for (const auto& s : systems_) {
        if (s->endExpected || s->Running()) continue;
        throw BenchError(s->name() + " ended by itself (code " + std::to_string(s->Wait({}).value_or(-1)) +
                         "):\n" + TailOfFile(s->logPath(), 15));
    }
}

Clock::time_point World::LastFrame() const {
    Clock::time_point last{};
    for (const auto& p : panels_) last = std::max(last, p->LastFrame());
    for (const auto& p : ptys_) last = std::max(last, p->LastFrame());
    return last;
}

void World::WaitPanelsReady(Clock::duration timeout, Clock::duration quiet) {
    const auto deadline = Clock::now() + timeout;
    const bool ready = loop_.RunUntil(
        [&] {
            CheckSystems();
            for (const auto& p : panels_) {
                if (!p->Connected() || p->FirstByte() == Clock::time_point{}) return false;
            }
            for (const auto& p : ptys_) {
                if (p->FirstByte() == Clock::time_point{}) return false;
            }
            return true;
        },
        deadline);
    if (!ready) {
        std::string missing;
        for (const auto& p : panels_) {
            if (!p->Connected() || p->FirstByte() == Clock::time_point{}) missing += " " + std::to_string(p->number());
        }
        for (const auto& p : ptys_) {
            if (p->FirstByte() == Clock::time_point{}) missing += " " + std::to_string(p->number());
        }
        throw BenchError("panels not served within the deadline:" + missing + "\n" + LogTails());
    }
    if (!WaitQuiet(quiet, deadline)) throw BenchError("the panels never went quiet after connecting");
}

bool World::WaitQuiet(Clock::duration quiet, Clock::time_point deadline) {
    const Clock::time_point start = Clock::now();
    // Bounded by the deadline; each turn sleeps until the quiet time would end.
    for (;;) {
        CheckSystems();
        const Clock::time_point activity = std::max({start, LastFrame(), control_->LastChange()});
        const Clock::time_point until = activity + quiet;
        const Clock::time_point now = Clock::now();
        if (now >= until) return true;
        if (now >= deadline) return false;
        loop_.RunUntil([] { return false; }, std::min(until, deadline));
    }
}

bool World::InfodriverLogged(const std::string& text) const {
    if (!infodriver_) return false;
    std::ifstream in(infodriver_->logPath());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string World::LogTails() const {
    std::string out;
    for (const auto& s : systems_) out += "--- " + s->logPath() + "\n" + TailOfFile(s->logPath(), 10);
    if (infodriver_) out += "--- " + infodriver_->logPath() + "\n" + TailOfFile(infodriver_->logPath(), 5);
    return out;
}

}  // namespace vorn::bench
