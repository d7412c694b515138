#include "core/version_info.h"

#include "core/seam.h"
#include "version.h"

namespace vorn {

const char* FileVersionText() { return VORN_FILE_VERSION; }
const char* ProductVersionText() { return VORN_PRODUCT_VERSION; }
const char* CommentsText() { return VORN_COMMENTS; }

std::string DottedProductVersion() {
    std::string text = ProductVersionText();
    for (char& c : text) {
        if (c == ',') c = '.';
    }
    return text;
}

void ShowDriverVersion() { GetSeam().SetField(kFieldVersion, DottedProductVersion()); }

std::string AboutVersionLine() {
    return std::string("Version ") + FileVersionText() + "  (" + ProductVersionText() + ")";
}

std::string BuildStampText() {
    // __DATE__ is "Mmm dd yyyy" (day blank-padded) and __TIME__ "hh:mm:ss":
    // the stamp of this file's compilation, which the build redoes whenever
    // the version header changes.
    return std::string(__DATE__) + " - " + __TIME__;
}

}  // namespace vorn
