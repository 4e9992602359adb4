#pragma once
// CLinearizationBase: the linearization coefficients of one raw-data record,
// loaded for a sensor or from a named file and applied to its spectra. The
// file format and the result codes are in linearization_file.h.
//
// Standard file of a sensor (LoadForSensor(type, pixels)): in the
// linearization directory, the first of
//     sensor-<type>-<pixels>.tlc
//     sensor-<type>.tlc
// that exists (decimal numbers, e.g. "sensor-7-1044.tlc"). The first one found
// is the one loaded: a broken file gives its own error rather than falling
// through to the next name. The directory is $VELDON_LINEARIZATION_DIR when set
// and not empty, else the directory "linearization" of the machine
// configuration root ($VELDON_MACHINE_CONFIG, else /etc/veldon); the
// environment is read at every load.
//
// Every load, Linearize and Unload sets the last result (kLinOk on success).
// A failed load leaves the coefficients that were loaded before.
//
// Not synchronised: one object per record, used under its owner's lock.

#include "dorvel/api.h"
#include "dorvel/linearization_file.h"

#include <cstdint>
#include <filesystem>
#include <memory>

namespace dorvel {

class DORVEL_API CLinearizationBase {
public:
    // Nothing loaded.
    CLinearizationBase();
    virtual ~CLinearizationBase();
    CLinearizationBase(const CLinearizationBase&) = delete;
    CLinearizationBase& operator=(const CLinearizationBase&) = delete;

    // Loads the standard file of the sensor (rule above). Its pixel count must
    // be pixelCount (else kLinPixelCountMismatch); no file gives
    // kLinNoFileForSensor.
    bool LoadForSensor(int32_t sensorType, int32_t pixelCount);
    // Loads the named file.
    bool LoadFile(const char* path);
    // Pixel count of the loaded coefficients; 0 when nothing is loaded.
    int32_t GetPixelCount() const;
    // Corrects n values in place; n must be the pixel count. All or nothing
    // (see ApplyCoefficients).
    bool Linearize(double* values, int32_t n);
    int32_t GetLastResult() const;
    // Nothing loaded.
    void Unload();

private:
    // Reads and checks a file (requiredPixels 0: any pixel count) and takes
    // its coefficients when it is sound; returns the result.
    int32_t Load(const std::filesystem::path& path, int32_t requiredPixels);

    std::unique_ptr<CoefficientSet> coefficients_;
    int32_t lastResult_ = kLinOk;
};

// The directory of the standard files, as the environment names it now.
DORVEL_API std::filesystem::path LinearizationDirectory();

} // namespace dorvel
