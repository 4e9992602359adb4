// The values file of the configuration store on arbitrary text: no crash, and
// every value parsed survives formatting and an edit of another value.
#include "platform/config_store.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <string>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::ConfigValueFile file(text);
    check(file.text() == text);

    for (const platform::ConfigValue& value : file.values()) {
        check(file.find(value.name) == &value);
        platform::ConfigValueFile line(
            platform::ConfigValueFile::formatLine(value.name, value.data));
        check(line.values().size() == 1 && line.values().front() == value);
    }

    platform::ConfigValueFile edited(text);
    std::string name = text.substr(0, std::min<size_t>(text.size(), 32));
    if (edited.set(name, std::string(text.substr(std::min<size_t>(text.size(), 32)))) == 0) {
        const platform::ConfigValue* found = edited.find(name);
        check(found != nullptr && found->type() == platform::ConfigValueType::String);
        platform::ConfigValueFile reread(edited.text());
        check(reread.values().size() == edited.values().size());
        for (const platform::ConfigValue& value : file.values()) {
            if (const platform::ConfigValue* other = reread.find(value.name);
                other != nullptr && other != reread.find(name)) {
                check(other->data == value.data);
            }
        }
        check(edited.remove(name));
        check(edited.find(name) == nullptr);
    }
    return 0;
}
