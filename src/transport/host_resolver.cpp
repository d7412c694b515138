#include "transport/host_resolver.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/seam.h"
#include "transport/socket_ops.h"

namespace vorn {

namespace {

std::atomic<int> g_running{0};

}  // namespace

struct HostResolver::Lookup {
    std::mutex mutex;
    bool cancelled = false;  // written under mutex, on the GUI thread only
    std::string host;
    Done done;
};

HostResolver::~HostResolver() { Cancel(); }

int HostResolver::RunningThreads() { return g_running.load(); }

bool HostResolver::Start(const std::string& host, Done done) {
    Cancel();
    if (g_running.fetch_add(1) >= kMaxThreads) {
        g_running.fetch_sub(1);
        return false;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->done = std::move(done);
    try {
        std::thread([lookup] {
            in_addr address{};
            const bool found = socket_ops::ResolveIPv4(lookup->host.c_str(), &address);
            {
                std::lock_guard<std::mutex> lock(lookup->mutex);
                if (!lookup->cancelled && HasSeam()) {
                    GetSeam().Post([lookup, found, address] {
                        Done call;
                        {
                            std::lock_guard<std::mutex> lock(lookup->mutex);
                            if (lookup->cancelled) return;
                            lookup->cancelled = true;  // one answer only
                            call = std::move(lookup->done);
                        }
                        call(found, address);
                    });
                }
            }
            g_running.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        g_running.fetch_sub(1);
        return false;
    }
    current_ = std::move(lookup);
    return true;
}

void HostResolver::Cancel() {
    if (!current_) return;
    {
        std::lock_guard<std::mutex> lock(current_->mutex);
        current_->cancelled = true;
        // Destroyed here, on the GUI thread, whoever frees the record.
        current_->done = nullptr;
    }
    current_.reset();
}

}  // namespace vorn
