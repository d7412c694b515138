// infoctl: reads, writes and watches Infodriver slots and shows the driver
// clients' modes, from the command line.
//
//   infoctl DEVICE get SLOT                 prints the slot's text and a newline
//   infoctl DEVICE set SLOT TEXT            TEXT is exactly one argument ("" clears)
//   infoctl DEVICE watch [FIRST [LAST]]     one line "SLOT TEXT" per change until
//                                           SIGINT/SIGTERM; LAST defaults to FIRST,
//                                           no FIRST means every slot
//   infoctl DEVICE modes                    "client <id>: TXRX|RXONLY" per driver client
//   infoctl --help | --version              this usage, or the version, on standard output
//
// A negative SLOT uses the absolute slot number (written with XOV_SLOTWRITENEG).
// watch escapes '\\' and control bytes in texts as "\\\\" and "\\xHH" so that
// each change stays one line; get prints the text as it is.
// Exit codes: 0 done, 1 link failure after attaching, 2 usage, 3 no Infodriver
// for the device.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "link_client.h"
#include "slot_state_file.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitLink = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoInfodriver = 3;
constexpr int kTimeoutMs = 2000;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    (void)!write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

#ifndef VORN_VERSION_TEXT
#define VORN_VERSION_TEXT "unknown"
#endif

void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "usage: infoctl DEVICE get SLOT\n"
                 "       infoctl DEVICE set SLOT TEXT\n"
                 "       infoctl DEVICE watch [FIRST [LAST]]\n"
                 "       infoctl DEVICE modes\n"
                 "       infoctl --help | --version\n"
                 "DEVICE is 1..65535; SLOT a 32-bit slot number; TEXT one argument of at most %zu bytes.\n"
                 "Environment: VORN_INFODRIVER_DIR, the directory of the Infodriver sockets\n"
                 "(default $XDG_RUNTIME_DIR/vorn, else /tmp/vorn-<uid>).\n"
                 "Exit codes: 0 done, 1 link failure, 2 usage, 3 no Infodriver for DEVICE.\n",
                 vorn::SlotStateFile::kMaxText);
}

int Usage(const char* why) {
    if (why != nullptr) std::fprintf(stderr, "infoctl: %s\n", why);
    PrintUsage(stderr);
    return kExitUsage;
}

template <typename T>
bool ParseNumber(const char* s, T& out) {
    std::string_view v(s);
    if (v.empty()) return false;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    return ec == std::errc() && end == v.data() + v.size();
}

// Absolute slot number, or false for INT32_MIN (which has none).
bool AbsoluteSlot(int32_t slot, int32_t& out) {
    if (slot == INT32_MIN) return false;
    out = slot < 0 ? -slot : slot;
    return true;
}

int LinkFailure(const vorn::LinkClient& link) {
    std::fprintf(stderr, "infoctl: %s\n", link.lastError().c_str());
    return kExitLink;
}

int Watch(vorn::LinkClient& link, int device, int32_t first, int32_t last) {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("infoctl: pipe");
        return kExitLink;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::fprintf(stderr, "infoctl: watching device %d slots %d..%d\n", device, first, last);
    // Runs until a signal or the end of the link.
    for (;;) {
        vorn::InfoFrame frame;
        switch (link.Next(&frame, g_signalPipe[0], -1)) {
            case vorn::LinkClient::Wait::kWoken:
                return kExitDone;
            case vorn::LinkClient::Wait::kTimeout:
                continue;
            case vorn::LinkClient::Wait::kClosed:
                return LinkFailure(link);
            case vorn::LinkClient::Wait::kFrame:
                break;
        }
        if (frame.message == vorn::XOV_INFODISCONNECTED) {
            std::fprintf(stderr, "infoctl: the Infodriver has disconnected\n");
            return kExitLink;
        }
        if (frame.message != vorn::XOV_SLOTCHANGED || frame.wParam < first || frame.wParam > last) continue;
        std::printf("%d %s\n", frame.wParam, vorn::SlotStateFile::Escape(frame.text).c_str());
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        PrintUsage(stdout);
        return std::fflush(stdout) == 0 ? kExitDone : kExitLink;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("infoctl %s\n", VORN_VERSION_TEXT);
        return std::fflush(stdout) == 0 ? kExitDone : kExitLink;
    }
    if (argc < 3) return Usage(nullptr);
    int device = 0;
    if (!ParseNumber(argv[1], device) || device < 1 || device > 65535) return Usage("bad DEVICE");
    std::string_view command = argv[2];
    int32_t slot = 0;
    int32_t first = INT32_MIN;
    int32_t last = INT32_MAX;
    if (command == "get") {
        if (argc != 4 || !ParseNumber(argv[3], slot) || !AbsoluteSlot(slot, slot)) return Usage("get takes one SLOT");
    } else if (command == "set") {
        if (argc != 5 || !ParseNumber(argv[3], slot) || slot == INT32_MIN) return Usage("set takes SLOT and one TEXT");
        if (std::strlen(argv[4]) > vorn::SlotStateFile::kMaxText) return Usage("TEXT is too long");
    } else if (command == "watch") {
        if (argc > 5) return Usage("watch takes at most FIRST and LAST");
        if (argc >= 4) {
            if (!ParseNumber(argv[3], first)) return Usage("bad FIRST");
            last = first;
        }
        if (argc == 5 && !ParseNumber(argv[4], last)) return Usage("bad LAST");
        if (first > last) return Usage("FIRST is above LAST");
    } else if (command == "modes") {
        if (argc != 3) return Usage("modes takes no arguments");
    } else {
        return Usage("unknown command");
    }

    vorn::LinkClient link;
    std::string error;
    if (!link.Attach(device, kTimeoutMs, &error)) {
        std::fprintf(stderr, "infoctl: no Infodriver for device %d: %s\n", device, error.c_str());
        return kExitNoInfodriver;
    }
    vorn::InfoFrame reply;
    if (command == "get") {
        if (!link.Call(vorn::XOV_SLOTREAD, slot, 0, "", &reply, kTimeoutMs)) return LinkFailure(link);
        if (reply.wParam != 1) {
            std::fprintf(stderr, "infoctl: the Infodriver refused to read slot %d\n", slot);
            return kExitLink;
        }
        std::fwrite(reply.text.data(), 1, reply.text.size(), stdout);
        std::fputc('\n', stdout);
        return std::fflush(stdout) == 0 ? kExitDone : kExitLink;
    }
    if (command == "set") {
        vorn::InfoFrame write{slot < 0 ? vorn::XOV_SLOTWRITENEG : vorn::XOV_SLOTWRITE, 0, 0, slot < 0 ? -slot : slot,
                              0, argv[4]};
        if (!link.Send(write, kTimeoutMs)) return LinkFailure(link);
        // A read back on the same connection returns only once the write is done.
        if (!link.Call(vorn::XOV_SLOTREAD, write.wParam, 0, "", &reply, kTimeoutMs)) return LinkFailure(link);
        return kExitDone;
    }
    if (command == "watch") return Watch(link, device, first, last);

    if (!link.Call(vorn::XOV_LISTCLIENTS, 0, 0, "", &reply, kTimeoutMs)) return LinkFailure(link);
    size_t pos = 0;
    // One line per driver client: "<id> <mode>".
    while (pos < reply.text.size()) {
        size_t nl = reply.text.find('\n', pos);
        if (nl == std::string::npos) nl = reply.text.size();
        std::string line = reply.text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        std::string mode = line.substr(sp + 1);
        const char* name = mode == "2" ? "TXRX" : mode == "1" ? "RXONLY" : mode.c_str();
        std::printf("client %s: %s\n", line.substr(0, sp).c_str(), name);
    }
    return std::fflush(stdout) == 0 ? kExitDone : kExitLink;
}
