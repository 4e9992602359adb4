// Reaching the acquisition library at run time.

#include "tarvik_binding.h"

#include "glimra/library.h"

#include <dlfcn.h>

#include <mutex>

namespace glimra::detail {

namespace {

using GetSupportedSensorLengthsFn = int32_t(uint32_t, int32_t, uint32_t*);

struct Binding {
    std::mutex lock;
    std::string file; // empty: the default
    void* handle = nullptr;
    GetSupportedSensorLengthsFn* function = nullptr;
};

Binding& binding() {
    static Binding b;
    return b;
}

} // namespace

std::string defaultTarvikLibraryFile() {
    const std::string& module = extensionModule().modulePath;
    const size_t slash = module.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : module.substr(0, slash);
    // By its soname, which an installation without development files has too.
    return directory + "/libtarvik.so.1";
}

void setTarvikLibraryFile(const std::string& file) {
    Binding& b = binding();
    const std::lock_guard<std::mutex> guard(b.lock);
    b.file = file;
    b.function = nullptr;
    if (b.handle != nullptr) {
        ::dlclose(b.handle);
        b.handle = nullptr;
    }
}

int32_t GetSupportedSensorLengths(uint32_t sensorType, int32_t capacity, uint32_t* lengths) {
    Binding& b = binding();
    GetSupportedSensorLengthsFn* function = nullptr;
    {
        const std::lock_guard<std::mutex> guard(b.lock);
        // Loaded once and kept; a failed load is tried again at the next call.
        if (b.function == nullptr) {
            if (b.handle == nullptr) {
                const std::string file = b.file.empty() ? defaultTarvikLibraryFile() : b.file;
                b.handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            }
            if (b.handle != nullptr) {
                b.function = reinterpret_cast<GetSupportedSensorLengthsFn*>(
                    ::dlsym(b.handle, "KORAL_HWConfig_GetSupportedSensorLengths"));
            }
        }
        function = b.function;
    }
    return function != nullptr ? function(sensorType, capacity, lengths) : -1;
}

} // namespace glimra::detail
