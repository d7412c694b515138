#include "core/seam.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace vorn {

namespace {
std::atomic<Seam*> g_seam{nullptr};
}

void SetSeam(Seam* seam) { g_seam.store(seam); }

bool HasSeam() { return g_seam.load() != nullptr; }

Seam& GetSeam() {
    Seam* seam = g_seam.load();
    if (seam == nullptr) {
        std::fputs("internal error: no seam installed before use\n", stderr);
        std::abort();
    }
    return *seam;
}

}  // namespace vorn
