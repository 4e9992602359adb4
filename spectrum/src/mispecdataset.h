#pragma once
// The stored spectra of the measurement program and their file payload. A
// list is saved behind the class-name tag "TDataList"; the payload holds
// little-endian 32-bit counts, raw binary64 values and zero-terminated texts
// (UTF-8 in memory, stored as pa::storedText gives them).

#include "pa/pastream.h"

#include <string>
#include <vector>

namespace mi {

struct TExportContext;

// One stored spectrum; copies are deep.
struct Data {
    // Component spectra of a multi-spectrum; empty for every other entry.
    std::vector<std::vector<double>> extra;
    // One value per pixel (an entry taken from the device holds one more).
    std::vector<double> values;
    std::string name;
    // Local date and time of the acquisition; empty for computed entries.
    std::string date;

    bool operator==(const Data&) const = default;
};

// The persistent list. Reference counted: made with new, ended with release().
class TDataList : public pa::TStorable {
public:
    std::string notes;
    std::vector<Data> spectra;

    // Raises when the stream refuses bytes or a count does not fit 32 bits.
    void save(pa::TStream& stream) override;
    // Reads the whole payload first and replaces the list only once it is
    // complete: a short or damaged payload raises and changes nothing.
    void load(pa::TStream& stream) override;

protected:
    ~TDataList() override = default;
};

// The data set the main window holds by value. Files carry the tag of its
// list part, so it saves and loads through a TDataList.
class TSpecDataSet : public TDataList {
public:
    TSpecDataSet() = default;
    ~TSpecDataSet() override = default;

    // saveTo/loadFrom of a TDataList holding this set's contents; a failed
    // load leaves the set as it was, a failed save leaves the file as it was.
    void saveTo(const std::string& path);
    void loadFrom(const std::string& path);

    // Element-wise a (op) b of the entries at list positions a and b, appended
    // as a new entry with the given name and no date. The result has as many
    // values as a; where b has no value the result is not a number. Division
    // by 0 or by not-a-number gives 0. Raises for a position outside the list.
    void plus(const std::string& name, int a, int b);
    void minus(const std::string& name, int a, int b);
    void mul(const std::string& name, int a, int b);
    void div(const std::string& name, int a, int b);

    // The text exports of every entry, or of the entries whose flag in
    // `checked` is set (list order). Raise when the file cannot be written.
    void exportAll(const TExportContext& context, const std::string& path) const;
    void exportSelected(const TExportContext& context, const std::vector<bool>& checked,
                        const std::string& path) const;

private:
    template <class Op> void combine(const std::string& name, int a, int b, Op op);
};

// The factory's creator: a new empty list with a count of 1.
pa::TBase* createDataList();
// Registers createDataList under "TDataList"; raises when refused.
void registerDataList();

} // namespace mi
