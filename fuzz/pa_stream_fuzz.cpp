// The framework's streams read files the user picks (.bspec lists): any bytes
// may arrive. Reading must end in data or in a framework error, never hang,
// run wild or allocate without bound.
#include "fuzz_check.h"

#include "pa/palog.h"
#include "pa/pastream.h"
#include "pa/sysutils.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A list in the manner of the program's: count, values, names, notes.
class TFuzzList : public pa::TStorable {
public:
    std::vector<double> values;
    std::vector<std::string> names;
    std::string notes;

    void save(pa::TStream&) override {}
    void load(pa::TStream& s) override {
        const std::int32_t count = s.readInt();
        const std::int64_t left = s.size() - s.position();
        // A count is believed only as far as the stream can hold it.
        if (count < 0 || count > left / static_cast<std::int64_t>(sizeof(double))) {
            pa::raiseError("TFuzzList::load -> Bad count %d", count);
        }
        values.resize(static_cast<std::size_t>(count));
        for (double& v : values) {
            s.read(&v, sizeof v);
        }
        while (!s.eof()) {
            std::string name;
            s.readString(name);
            names.push_back(std::move(name));
            fuzz::check(names.size() <= static_cast<std::size_t>(s.size()));
        }
    }
};

const std::string& scratchFile() {
    struct Scratch {
        std::string path = "/tmp/pa_stream_fuzz." + std::to_string(getpid());
        ~Scratch() { std::remove(path.c_str()); }
    };
    static Scratch scratch;
    return scratch.path;
}

void writeScratch(const std::string& bytes) {
    std::FILE* f = std::fopen(scratchFile().c_str(), "wb");
    fuzz::check(f != nullptr);
    fuzz::check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    fuzz::check(std::fclose(f) == 0);
}

// Reads the file under a script taken from its own bytes, checking that size
// and eof never move the position.
void readAround(const std::string& bytes) {
    pa::Ref<pa::TFStream> s(new pa::TFStream(scratchFile(), "r"));
    const auto length = static_cast<std::int64_t>(bytes.size());
    fuzz::check(s->size() == length);
    for (std::size_t step = 0; step < 64 && step < bytes.size(); ++step) {
        const std::int64_t here = s->position();
        const auto op = static_cast<unsigned char>(bytes[step]);
        switch (op % 4) {
        case 0:
            s->readInt();
            fuzz::check(s->position() == here + 4);
            break;
        case 1: {
            std::string text;
            s->readString(text, 256);
            fuzz::check(s->position() == here + static_cast<std::int64_t>(text.size()) + 1);
            break;
        }
        case 2:
            fuzz::check(s->eof() == (here >= length));
            fuzz::check(s->position() == here);
            break;
        default:
            fuzz::check(s->seek(op / 4, 0) == op / 4);
            fuzz::check(s->size() == length);
            fuzz::check(s->position() == op / 4);
            break;
        }
    }
}

void loadList(const std::string& bytes) {
    writeScratch(bytes);
    pa::Ref<TFuzzList> list(new TFuzzList());
    try {
        list->loadFrom(scratchFile());
    } catch (const pa::Exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    writeScratch(bytes);
    try {
        readAround(bytes);
    } catch (const pa::Exception&) {
    }
    loadList(bytes);
    // The same bytes behind a matching tag reach load itself.
    loadList(std::string("TFuzzList", 10) + bytes);
    return 0;
}
