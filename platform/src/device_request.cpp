// Requests, their completion and cancellation, and remove locks.

#include "device_internal.h"

#include <utility>

namespace platform {

IoRequest::IoRequest(MajorFunction major, DeviceObject& device, std::shared_ptr<FileObject> file,
                     uint32_t code, SystemBuffer buffer, uint32_t inLength, uint32_t outLength)
    : major_(major), device_(device), file_(std::move(file)), code_(code),
      buffer_(std::move(buffer)), inLength_(inLength), outLength_(outLength) {}

void IoRequest::setInformation(uint32_t bytes) {
    std::lock_guard lock(mutex_);
    information_ = bytes;
}

uint32_t IoRequest::information() const {
    std::lock_guard lock(mutex_);
    return information_;
}

void IoRequest::markPending() {
    std::lock_guard lock(mutex_);
    markedPending_ = true;
}

DriverStatus IoRequest::complete(DriverStatus status) {
    CancelRoutine dropped;
    {
        std::lock_guard lock(mutex_);
        if (completed_) {
            return status;
        }
        completed_ = true;
        status_ = status == kStatusPending ? kStatusUnsuccessful : status;
        dropped = std::move(cancelRoutine_);
        cancelRoutine_ = nullptr;
    }
    changed_.notify_all();
    return status;
}

bool IoRequest::isCompleted() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

bool IoRequest::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool IoRequest::setCancelRoutine(CancelRoutine routine) {
    std::lock_guard lock(mutex_);
    if (cancelled_ || completed_) {
        return false;
    }
    cancelRoutine_ = std::move(routine);
    return true;
}

bool IoRequest::clearCancelRoutine() {
    CancelRoutine dropped;
    std::lock_guard lock(mutex_);
    dropped = std::move(cancelRoutine_);
    cancelRoutine_ = nullptr;
    return !cancelRoutineTaken_;
}

namespace detail {

bool IoAccess::cancel(const IoRequestPtr& request, DriverStatus reason) {
    CancelRoutine routine;
    {
        std::lock_guard lock(request->mutex_);
        if (request->completed_ || request->cancelled_) {
            return false;
        }
        request->cancelled_ = true;
        if (!request->abandoned_) {
            request->abandoned_ = true;
            request->abandonStatus_ = reason;
        }
        if (request->cancelRoutine_) {
            routine = std::move(request->cancelRoutine_);
            request->cancelRoutine_ = nullptr;
            request->cancelRoutineTaken_ = true;
        }
    }
    request->changed_.notify_all();
    if (routine) {
        guarded("cancel", [&] {
            routine(request->device_, request);
            return kStatusSuccess;
        });
    }
    return true;
}

bool IoAccess::abandonIfOpen(const IoRequestPtr& request, DriverStatus reason) {
    {
        std::lock_guard lock(request->mutex_);
        if (request->completed_) {
            return false;
        }
        if (!request->abandoned_) {
            request->abandoned_ = true;
            request->abandonStatus_ = reason;
        }
    }
    request->changed_.notify_all();
    return true;
}

DriverStatus IoAccess::wait(const IoRequestPtr& request) {
    std::unique_lock lock(request->mutex_);
    request->changed_.wait(lock, [&] { return request->completed_ || request->abandoned_; });
    if (request->abandoned_) {
        return request->abandonStatus_;
    }
    return request->status_;
}

SystemBuffer IoAccess::takeBuffer(IoRequest& request) {
    return std::exchange(request.buffer_, SystemBuffer{});
}

bool IoAccess::isMarkedPending(const IoRequestPtr& request) {
    std::lock_guard lock(request->mutex_);
    return request->markedPending_;
}

} // namespace detail

DriverStatus RemoveLock::acquire() {
    std::lock_guard lock(mutex_);
    if (removed_) {
        return kStatusDeletePending;
    }
    ++count_;
    return kStatusSuccess;
}

void RemoveLock::release() {
    bool drained = false;
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            --count_;
        }
        drained = count_ == 0;
    }
    if (drained) {
        drained_.notify_all();
    }
}

void RemoveLock::releaseAndWait() {
    std::unique_lock lock(mutex_);
    removed_ = true;
    count_ = count_ >= 2 ? count_ - 2 : 0;
    drained_.wait(lock, [&] { return count_ == 0; });
}

int RemoveLock::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

} // namespace platform
