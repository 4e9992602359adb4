#include "mitextexport.h"

#include "mispecdataset.h"

#include "pa/palog.h"
#include "pa/sysutils.h"
#include "platform/own_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace mi {

namespace {

class Lines {
public:
    // Appends text; each '\n' becomes CR LF.
    Lines& operator<<(std::string_view text) {
        for (char c : text) {
            if (c == '\n') {
                out_ += '\r';
            }
            out_ += c;
        }
        return *this;
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

const char kNaN[] = "NaN";

// One cell of a pixel row by display kind; false for a kind without cells.
bool cell(int kind, const std::vector<double>* values, const std::vector<double>& reference,
          std::size_t j, std::string& text) {
    const bool haveValue = values != nullptr && j < values->size();
    const double v = haveValue ? (*values)[j] : 0.0;
    const bool haveReference = j < reference.size();
    const double r = haveReference ? reference[j] : 0.0;
    switch (kind) {
    case 0:
    case 3:
        text = haveValue ? fixed6(v) : kNaN;
        return true;
    case 1:
        if (haveValue && haveReference && r != 0.0 && !std::isnan(r) && v / r > 0.0) {
            text = fixed6(-std::log10(v / r));
        } else {
            text = kNaN;
        }
        return true;
    case 2:
        if (haveValue && haveReference && r != 0.0 && !std::isnan(r)) {
            text = fixed6(v * 100.0 / r);
        } else {
            text = kNaN;
        }
        return true;
    default:
        return false;
    }
}

std::string intText(long long value) {
    return std::to_string(value);
}

} // namespace

const char* displayKindName(int kind) {
    static const char* const kNames[] = {"SCOPE", "ABSORBANCE", "TRANSMITTANCE", "IRRADIANCE"};
    return kind >= 0 && kind < 4 ? kNames[kind] : "";
}

std::string fixed6(double value) {
    char buffer[400];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (error != std::errc()) {
        return kNaN;
    }
    return std::string(buffer, end);
}

std::string exportText(const TExportContext& context, const std::vector<TExportColumn>& columns) {
    Lines out;
    const auto& [c0, c1, c2, c3] = context.coefficients;
    out << "Date: " << context.date << "\n";
    out << "Notes:\n";
    out << context.notes;
    out << "LED type: " << context.lightText << ", LED intensity: " << context.intensityText
        << "\n";
    out << "Average number: " << context.averageText << "\n";
    out << "Integration time: " << fixed6(context.integrationTime) << "\n";
    out << "Sensor Lenght:\t" << intText(context.pixelCount) << "\n";
    out << "Sensor Param  c0:\t" << fixed6(c0) << "\tc1:\t" << fixed6(c1) << "\tc2:\t" << fixed6(c2)
        << "\tc3:\t" << fixed6(c3) << "\n";
    out << "Number of measuring:\t" << intText(static_cast<long long>(columns.size())) << "\n";
    out << "Mode: " << displayKindName(context.displayKind) << "\n";
    out << "Time [ms]\t";
    for (const TExportColumn& column : columns) {
        out << column.time << "\t";
    }
    out << "\n";
    for (std::size_t k = 0; k < columns.size(); ++k) {
        out << "---------";
    }
    out << "\n";
    out << "Wave Length\t";
    for (const TExportColumn& column : columns) {
        out << column.name << "\t";
    }
    out << "\n";
    // Only pixels that have a wavelength get a row.
    const std::size_t rows = std::min(static_cast<std::size_t>(std::max(context.pixelCount, 0)),
                                      context.wavelengths.size());
    std::string text;
    for (std::size_t j = 0; j < rows; ++j) {
        out << fixed6(context.wavelengths[j]) << "\t";
        for (const TExportColumn& column : columns) {
            if (cell(context.displayKind, column.values, context.reference, j, text)) {
                out << text << "\t";
            }
        }
        out << "\n";
    }
    return out.take();
}

void writeExportFile(const std::string& path, const std::string& text) {
    // Made whole beside the old file, which it replaces only then.
    platform::FileReplacement file;
    std::string why;
    if (const int rc = file.open(path.c_str(), why); rc != 0) {
        pa::raiseError("Cannot create the file %s (%s)", path.c_str(),
                       platform::failureText(rc, why).c_str());
    }
    int rc = file.write(pa::storedText(text));
    if (rc == 0) {
        rc = file.commit(why);
    }
    if (rc != 0) {
        pa::raiseError("Cannot write the file %s (%s)", path.c_str(),
                       platform::failureText(rc, why).c_str());
    }
}

void TSpecDataSet::exportAll(const TExportContext& context, const std::string& path) const {
    exportSelected(context, std::vector<bool>(spectra.size(), true), path);
}

void TSpecDataSet::exportSelected(const TExportContext& context, const std::vector<bool>& checked,
                                  const std::string& path) const {
    std::vector<TExportColumn> columns;
    for (std::size_t i = 0; i < spectra.size(); ++i) {
        if (i < checked.size() && checked[i]) {
            columns.push_back({spectra[i].date, spectra[i].name, &spectra[i].values});
        }
    }
    writeExportFile(path, exportText(context, columns));
}

} // namespace mi
