#include "pa/pafactory.h"

#include "pa/palog.h"

#include <atomic>

namespace pa {

namespace {
std::mutex gFactoryMutex;
std::atomic<TFactory*> gFactory{nullptr};
} // namespace

TBase* TSimpleFactory::createClass(const std::string& name) {
    logPrint("TFactory::createClass -> %s\n", name.c_str());
    TCreator creator = nullptr;
    {
        std::lock_guard lock(mutex_);
        const auto it = creators_.find(name);
        if (it == creators_.end()) {
            return nullptr;
        }
        creator = it->second;
    }
    // Outside the lock: a creator may use the factory itself.
    return creator();
}

bool TSimpleFactory::regClass(const std::string& name, TCreator creator) {
    logPrint("TFactory::regClass -> %s\n", name.c_str());
    if (!creator) {
        return false; // would crash the first createClass
    }
    std::lock_guard lock(mutex_);
    return creators_.emplace(name, creator).second;
}

bool TSimpleFactory::isRegistered(const std::string& name) {
    std::lock_guard lock(mutex_);
    return creators_.count(name) != 0;
}

bool initFactory() {
    std::lock_guard lock(gFactoryMutex);
    if (TFactory* existing = gFactory.load()) {
        existing->addRef();
    } else {
        gFactory.store(new TSimpleFactory());
    }
    return true;
}

TFactory* factory() {
    return gFactory.load();
}

void registerObject(const std::string& name, TCreator creator) {
    TFactory* f = factory();
    if (!f || !f->regClass(name, creator)) {
        raiseError("registerObject -> Can not register object %s", name.c_str());
    }
}

} // namespace pa
