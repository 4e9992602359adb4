#include "dorvel/sensor_catalogue.h"

#include "dorvel/hardware_texts.h"

#include <iterator>

namespace dorvel {
namespace {

struct CatalogueEntry {
    int16_t code;
    char group;
};

// Grouped by the sensors' technology ('1' to '3', then '0'); the type the
// sensor description file describes stands alone at the end.
constexpr CatalogueEntry kCatalogue[] = {
    {0, '1'},  {1, '1'},  {2, '1'},  {11, '1'}, {16, '1'}, {3, '2'},  {4, '2'},
    {5, '2'},  {10, '2'}, {13, '2'}, {14, '2'}, {15, '2'}, {18, '2'}, {19, '2'},
    {20, '2'}, {21, '2'}, {6, '3'},  {7, '3'},  {8, '3'},  {9, '3'},  {17, '3'},
    {22, '0'}, {128, 'F'},
};

const CatalogueEntry* entryAt(int16_t index) {
    if (index < 0 || index >= static_cast<int>(std::size(kCatalogue))) {
        return nullptr;
    }
    return &kCatalogue[index];
}

} // namespace

int16_t GetSensorTypeCount() {
    return static_cast<int16_t>(std::size(kCatalogue));
}

int16_t GetSensorTypeCode(int16_t index) {
    const CatalogueEntry* e = entryAt(index);
    return e != nullptr ? e->code : -1;
}

const char* GetSensorTypeName(int16_t index) {
    const CatalogueEntry* e = entryAt(index);
    // The short labels of the hardware texts are static for every listed type.
    return e != nullptr ? CHardwareTexts().GetSensorText(e->code) : "";
}

char GetSensorTypeGroup(int16_t index) {
    const CatalogueEntry* e = entryAt(index);
    return e != nullptr ? e->group : '\0';
}

} // namespace dorvel
