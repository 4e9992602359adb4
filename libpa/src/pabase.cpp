#include "pa/pabase.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace pa {

std::int32_t TBase::addRef() {
    return count_.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::int32_t TBase::release() {
    const std::int32_t count = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

std::string TBase::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    const std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
    const auto colon = name.find_last_of(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

} // namespace pa
