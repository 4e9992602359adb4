#include "core/export_frame.h"

#include "core/interface_check.h"

namespace tarvik {

int32_t failExportQuietly(const char* name) {
    recordFunctionName(name);
    return -1;
}

int32_t failExport(const char* name) {
    recordFunctionName(name);
    ShowErrorMessage();
    return -1;
}

int32_t failExport(const char* name, int32_t interfaceId, int32_t level, int32_t code,
                   int32_t info) {
    recordError(interfaceId, level, code, info);
    return failExport(name);
}

int32_t checkInterfaceForExport(const char* name, int32_t level, int32_t interfaceId) {
    const int32_t result = CheckInterfaceState(level, interfaceId);
    if (result != 0) {
        failExport(name);
    }
    return result;
}

} // namespace tarvik
