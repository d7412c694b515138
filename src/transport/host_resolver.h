#pragma once
// Looks up a host name's IPv4 address without the GUI thread waiting for a
// name server: the lookup (getaddrinfo, which may block for as long as the
// name servers take) runs on a thread of its own, and its result comes back
// to the GUI thread as a posted call through the seam.
//
// The lookup thread is detached, and this is why that is safe: it touches
// only its own Lookup record (shared with this object, freed by whichever
// lets go of it last) and the C library, and it posts its result while
// holding the record's lock and only if the lookup was not cancelled. Cancel
// takes the same lock, so once it has returned the thread never touches the
// seam or the owner again; the posted call checks the flag as well (both on
// the GUI thread). The destructor cancels. The seam must outlive every
// lookup not cancelled (links go before the window, which owns the seam).
//
// Bound: at most kMaxThreads lookups run in the process at once (a dead name
// server can hold each for tens of seconds); beyond that Start refuses, and
// the caller reports the name as not resolvable now (the next poll tries
// again).
//
// Threading: GUI thread, except the lookup threads described above.

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

namespace vorn {

class HostResolver {
public:
    // found: the name has an IPv4 address, given in address.
    using Done = std::function<void(bool found, in_addr address)>;
    static constexpr int kMaxThreads = 16;

    HostResolver() = default;
    ~HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // Starts looking up host; done runs later on the GUI thread, never
    // inside Start. A lookup under way is cancelled first. False when no
    // thread could be started.
    bool Start(const std::string& host, Done done);
    // Drops the lookup under way, if any: its done is never called.
    void Cancel();
    bool Busy() const { return current_ != nullptr; }

    // Lookup threads running in the process now.
    static int RunningThreads();

private:
    struct Lookup;
    std::shared_ptr<Lookup> current_;
};

}  // namespace vorn
