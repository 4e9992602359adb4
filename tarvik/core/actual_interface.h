#pragma once
// The actual interface ID: the interface that board commands and the
// integration-time steps act on. A passing state check, the open and the close
// make an ID actual; every thread's exports share the one value.
//
// Within an export the ID a thread made actual stays the one that thread
// sees, whatever other threads' exports make actual meanwhile: the state check
// lets the DeviceLock go before the export takes it again for its work, and
// that work must reach the interface the export was called for. Before the
// export made an ID actual, and outside exports, the value seen is the last
// one any thread made actual.

#include <atomic>
#include <cstdint>

namespace tarvik {

class ActualInterfaceId {
public:
    int32_t load() const;
    void store(int32_t id);
    int32_t exchange(int32_t id);

    operator int32_t() const { return load(); }
    ActualInterfaceId& operator=(int32_t id) {
        store(id);
        return *this;
    }

private:
    std::atomic<int32_t> last_{0};
};

// Held by the export frame for the whole of an export (the outermost one when
// an export calls another): the IDs the export makes actual are its own.
class ExportActualScope {
public:
    ExportActualScope() noexcept;
    ~ExportActualScope();
    ExportActualScope(const ExportActualScope&) = delete;
    ExportActualScope& operator=(const ExportActualScope&) = delete;

private:
    bool outermost_;
};

} // namespace tarvik
