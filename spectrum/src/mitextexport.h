#pragma once
// The text exports of the measurement program: the run, all stored spectra
// and the checked ones share one layout of header lines, two header rows and
// one tab-separated row per pixel, converted to a display kind. Numbers are
// written with a point whatever the process locale, and every line ends in
// CR LF.

#include <array>
#include <string>
#include <vector>

namespace mi {

// What an export reads of the device and the main window.
struct TExportContext {
    std::string date;
    std::string notes; // written as it stands, no line end added
    std::string lightText;
    std::string intensityText;
    std::string averageText;
    double integrationTime = 0.0;
    int pixelCount = 0;
    std::array<double, 4> coefficients{};
    std::vector<double> wavelengths;
    int displayKind = 0; // 0 scope, 1 absorbance, 2 transmittance, 3 irradiance
    std::vector<double> reference;
};

// One spectrum column: its cells of the two header rows and its values.
struct TExportColumn {
    std::string time;
    std::string name;
    const std::vector<double>* values = nullptr;
};

// "SCOPE", "ABSORBANCE", "TRANSMITTANCE", "IRRADIANCE"; empty for another kind.
const char* displayKindName(int kind);

// "%lf": fixed notation with six decimals and a point.
std::string fixed6(double value);

// The whole file. Rows run over the pixels that have a wavelength; a column
// or reference without a value at a pixel gives the cell "NaN".
std::string exportText(const TExportContext& context, const std::vector<TExportColumn>& columns);

// Writes the text as the file, which replaces an old one only once whole:
// in Latin-1 where every character fits, else as UTF-8 behind a byte order
// mark, so an outside reader sees one encoding and is told which;
// raises, leaving any old file as it was, when the name may not be written
// (platform::judgeFileToWrite) or the file cannot be written.
void writeExportFile(const std::string& path, const std::string& text);

} // namespace mi
