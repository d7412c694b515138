#include "panels/info_client.h"

#include <cstdio>
#include <cstdlib>

#include "transport/extinfo.h"

namespace vorn {

namespace {

extinfo* bound = nullptr;

}  // namespace

void BindInfoClient(extinfo* client) { bound = client; }

extinfo* BoundInfoClient() { return bound; }

extinfo& Info() {
    if (bound == nullptr) {
        std::fprintf(stderr, "panel layer used without an Infodriver client (BindInfoClient)\n");
        std::abort();
    }
    return *bound;
}

}  // namespace vorn
