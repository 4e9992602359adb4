#pragma once
// The class factory: creates framework objects from their class names.

#include "pa/pabase.h"

#include <map>
#include <mutex>
#include <string>

namespace pa {

// Makes a new object (count 1); the caller owns that reference.
using TCreator = TBase* (*)();

class TFactory : public virtual TBase {
public:
    // Null when the name is not registered.
    virtual TBase* createClass(const std::string& name) = 0;
    // False when the name is registered already (the first creator stays).
    virtual bool regClass(const std::string& name, TCreator creator) = 0;
    virtual bool isRegistered(const std::string& name) = 0;

protected:
    ~TFactory() override = default;
};

// Names are compared byte-wise, the shorter first on a common prefix.
class TSimpleFactory : public TFactory {
public:
    TBase* createClass(const std::string& name) override;
    bool regClass(const std::string& name, TCreator creator) override;
    bool isRegistered(const std::string& name) override;

protected:
    ~TSimpleFactory() override = default;

private:
    std::mutex mutex_;
    std::map<std::string, TCreator> creators_;
};

// Creates the process's factory on the first call, adds a reference to it on
// each later one. Always true.
bool initFactory();
// The process's factory; null until initFactory has run.
TFactory* factory();
// regClass on the process's factory; raises "registerObject -> Can not
// register object <name>" when it is refused (or when there is no factory).
void registerObject(const std::string& name, TCreator creator);

} // namespace pa
