#include "mispecdataset.h"

#include "pa/pafactory.h"
#include "pa/palog.h"
#include "pa/sysutils.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace mi {

// Values go to and from the stream as their bytes in memory.
static_assert(std::endian::native == std::endian::little, "the payload is little-endian");

namespace {

constexpr std::int64_t kIntBytes = 4;
constexpr std::int64_t kValueBytes = sizeof(double);
// An entry holds at least its two counts and two empty texts.
constexpr std::int64_t kMinEntryBytes = 2 * kIntBytes + 2;

void writeCount(pa::TStream& stream, std::size_t count) {
    if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        pa::raiseError("TDataList::save -> Too many items (%zu)", count);
    }
    stream.writeInt(static_cast<std::int32_t>(count));
}

void writeValues(pa::TStream& stream, const std::vector<double>& values) {
    writeCount(stream, values.size());
    const std::size_t bytes = values.size() * sizeof(double);
    if (bytes != 0 && stream.write(values.data(), bytes) != bytes) {
        pa::raiseError("TDataList::save -> Write failed");
    }
}

void writeText(pa::TStream& stream, const std::string& text) {
    // The zero byte ends a text in the file; one inside would shift the rest.
    if (text.find('\0') != std::string::npos) {
        pa::raiseError("TDataList::save -> Text holds a zero byte");
    }
    stream.writeString(pa::storedText(text));
}

// Reads the payload believing no count further than the stream can hold it,
// so a damaged file raises instead of allocating without bound.
class PayloadReader {
public:
    explicit PayloadReader(pa::TStream& stream) : stream_(stream), end_(stream.size()) {}

    std::size_t count(const char* what, std::int64_t minItemBytes) {
        const std::int32_t n = stream_.readInt();
        if (n < 0 || n > left() / minItemBytes) {
            pa::raiseError("TDataList::load -> Bad %s count %d", what, n);
        }
        return static_cast<std::size_t>(n);
    }

    void values(std::vector<double>& values) {
        values.resize(count("value", kValueBytes));
        const std::size_t bytes = values.size() * sizeof(double);
        if (bytes != 0 && stream_.read(values.data(), bytes) != bytes) {
            pa::raiseError("TDataList::load -> Unexpected end of stream");
        }
    }

    void text(std::string& text) {
        const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(left(), 0));
        std::string stored;
        stream_.readString(stored, std::min(limit, pa::TStream::kMaxStringLength));
        text = pa::textFromStored(stored);
    }

private:
    std::int64_t left() { return end_ - stream_.position(); }

    pa::TStream& stream_;
    const std::int64_t end_;
};

} // namespace

void TDataList::save(pa::TStream& stream) {
    writeCount(stream, spectra.size());
    for (const Data& entry : spectra) {
        writeCount(stream, entry.extra.size());
        for (const auto& vector : entry.extra) {
            writeValues(stream, vector);
        }
        writeValues(stream, entry.values);
        writeText(stream, entry.name);
        writeText(stream, entry.date);
    }
    writeText(stream, notes);
}

void TDataList::load(pa::TStream& stream) {
    PayloadReader reader(stream);
    std::vector<Data> loaded(reader.count("spectrum", kMinEntryBytes));
    for (Data& entry : loaded) {
        entry.extra.resize(reader.count("vector", kIntBytes));
        for (auto& vector : entry.extra) {
            reader.values(vector);
        }
        reader.values(entry.values);
        reader.text(entry.name);
        reader.text(entry.date);
    }
    std::string loadedNotes;
    reader.text(loadedNotes);
    spectra.swap(loaded);
    notes.swap(loadedNotes);
}

namespace {

// Lends a set's contents to a list for the length of a scope.
class Lend {
public:
    Lend(TDataList& from, TDataList& to) : from_(from), to_(to) { exchange(); }
    ~Lend() { exchange(); }
    Lend(const Lend&) = delete;
    Lend& operator=(const Lend&) = delete;

private:
    void exchange() {
        from_.notes.swap(to_.notes);
        from_.spectra.swap(to_.spectra);
    }
    TDataList& from_;
    TDataList& to_;
};

} // namespace

void TSpecDataSet::saveTo(const std::string& path) {
    pa::Ref<TDataList> list(new TDataList());
    Lend lend(*this, *list);
    list->saveTo(path);
}

void TSpecDataSet::loadFrom(const std::string& path) {
    pa::Ref<TDataList> list(new TDataList());
    list->loadFrom(path);
    notes.swap(list->notes);
    spectra.swap(list->spectra);
}

template <class Op> void TSpecDataSet::combine(const std::string& name, int a, int b, Op op) {
    const auto valid = [this](int i) {
        return i >= 0 && static_cast<std::size_t>(i) < spectra.size();
    };
    if (!valid(a) || !valid(b)) {
        pa::raiseError("TSpecDataSet -> No spectrum at position %d", valid(a) ? b : a);
    }
    const std::vector<double>& x = spectra[static_cast<std::size_t>(a)].values;
    const std::vector<double>& y = spectra[static_cast<std::size_t>(b)].values;
    Data result;
    result.name = name;
    result.values.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        result.values[i] = i < y.size() ? op(x[i], y[i]) : std::nan("");
    }
    // b may be the entry the append moves: the result is complete first.
    spectra.push_back(std::move(result));
}

void TSpecDataSet::plus(const std::string& name, int a, int b) {
    combine(name, a, b, [](double x, double y) { return x + y; });
}

void TSpecDataSet::minus(const std::string& name, int a, int b) {
    combine(name, a, b, [](double x, double y) { return x - y; });
}

void TSpecDataSet::mul(const std::string& name, int a, int b) {
    combine(name, a, b, [](double x, double y) { return x * y; });
}

void TSpecDataSet::div(const std::string& name, int a, int b) {
    combine(name, a, b, [](double x, double y) { return y == 0.0 || std::isnan(y) ? 0.0 : x / y; });
}

pa::TBase* createDataList() {
    return new TDataList();
}

void registerDataList() {
    pa::registerObject("TDataList", &createDataList);
}

} // namespace mi
