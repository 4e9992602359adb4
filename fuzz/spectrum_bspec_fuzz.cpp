// Stored-spectrum lists (.bspec) are files the user picks: any bytes may
// arrive. A load must end in a whole list or in a framework error that leaves
// the list as it was, never hang or allocate without bound; what loads must
// save back to the very bytes it came from.
#include "fuzz_check.h"

#include "mispecdataset.h"

#include "pa/sysutils.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

std::string scratch(const char* suffix) {
    return "/tmp/spectrum_bspec_fuzz." + std::to_string(getpid()) + suffix;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    fuzz::check(f != nullptr);
    fuzz::check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    fuzz::check(std::fclose(f) == 0);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void loadAndCheck(const std::string& bytes) {
    const std::string in = scratch(".in");
    const std::string out = scratch(".out");
    writeFile(in, bytes);
    mi::TSpecDataSet set;
    set.notes = "before";
    set.spectra.resize(1);
    set.spectra[0].name = "kept";
    try {
        set.loadFrom(in);
    } catch (const pa::Exception&) {
        fuzz::check(set.notes == "before" && set.spectra.size() == 1 &&
                    set.spectra[0].name == "kept" && set.spectra[0].values.empty());
        return;
    }
    set.saveTo(out);
    const std::string saved = readFile(out);
    fuzz::check(saved.size() <= bytes.size());
    fuzz::check(bytes.compare(0, saved.size(), saved) == 0);
    std::remove(out.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    loadAndCheck(bytes);
    // The same bytes behind the tag reach the payload reader.
    loadAndCheck(std::string("TDataList", 10) + bytes);
    std::remove(scratch(".in").c_str());
    return 0;
}
