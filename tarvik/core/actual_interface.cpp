#include "core/actual_interface.h"

namespace tarvik {
namespace {

constexpr int32_t kNoExport = -2; // the thread runs no export
constexpr int32_t kNoneYet = -1;  // its export made no ID actual yet

// The ID this thread's export made actual last.
thread_local int32_t t_exportActual = kNoExport;

} // namespace

int32_t ActualInterfaceId::load() const {
    return t_exportActual >= 0 ? t_exportActual : last_.load();
}

void ActualInterfaceId::store(int32_t id) {
    last_.store(id);
    if (t_exportActual != kNoExport) {
        t_exportActual = id;
    }
}

int32_t ActualInterfaceId::exchange(int32_t id) {
    const int32_t previous = load();
    store(id);
    return previous;
}

ExportActualScope::ExportActualScope() noexcept : outermost_(t_exportActual == kNoExport) {
    if (outermost_) {
        t_exportActual = kNoneYet;
    }
}

ExportActualScope::~ExportActualScope() {
    if (outermost_) {
        t_exportActual = kNoExport;
    }
}

} // namespace tarvik
