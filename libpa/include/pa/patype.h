#pragma once
// The program's worker thread and the version-information reader.

#include "pa/classes.h"
#include "pa/pabase.h"

#include <platform/version_info.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pa {

// Runs one callback in a thread. The callback reads terminated() of the
// thread it is given to know when to stop, and touches the GUI only through
// synchronize. An exception of the framework's type that leaves it is shown
// on the GUI thread under "Error in thread"; any other is kept as the
// thread's fatal exception.
class TThreadPa final : public TThread {
public:
    using TCallback = std::function<void(TThreadPa* thread)>;

    // Created suspended; an empty callback runs nothing.
    TThreadPa(TCallback callback, TNotifyEvent onTerminate, std::int32_t tag, bool freeOnTerminate);
    ~TThreadPa() override;

    std::int32_t tag() const { return tag_; }
    void setTag(std::int32_t tag) { tag_ = tag; }

protected:
    void Execute() override;

private:
    TCallback callback_;
    std::int32_t tag_;
};

// Creates the thread suspended and returns it without starting it.
TThreadPa* createThread(TThreadPa::TCallback callback, TThread::TNotifyEvent onTerminate,
                        std::int32_t tag, bool freeOnTerminate);
// createThread, then resume. The owner stops the worker by deleting it (unless
// freeOnTerminate), which waits for the callback to return.
TThreadPa* startThread(TThreadPa::TCallback callback, TThread::TNotifyEvent onTerminate,
                       std::int32_t tag, bool freeOnTerminate);

// String values of a module's version record. The record holds one string
// table, so no language/code-page translation is looked up.
class TFileInfo : public virtual TBase {
public:
    // The running program's own file.
    TFileInfo();
    explicit TFileInfo(const std::string& modulePath);

    bool hasVersionInfo() const { return info_.has_value(); }
    // The value of `key` ("FileVersion", ...); empty when the module has no
    // version record or the record has no such key.
    std::string getValue(const std::string& key) const;

protected:
    ~TFileInfo() override = default;

private:
    std::optional<platform::VersionInfo> info_;
};

} // namespace pa
