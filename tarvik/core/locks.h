#pragma once
// The library's three locks. All are re-entrant; the order is DeviceLock, then
// RawDataLock, then ErrorLock, and a thread never takes an earlier one while it
// holds a later one.
//   deviceLock()   held by an export for the whole of a device operation
//   rawDataLock()  raw-data records and stored values
//   errorLock()    the last-error record, its save area, the box flags and
//                  the box flag stack; held only for short field updates

#include <mutex>

namespace tarvik {

std::recursive_mutex& deviceLock();
std::recursive_mutex& rawDataLock();
std::recursive_mutex& errorLock();

} // namespace tarvik
