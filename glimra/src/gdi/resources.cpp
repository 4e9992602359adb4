// Resources of the library and of the program, and the chain that finds them.

#include "glimra/resources.h"

#include <algorithm>
#include <vector>

namespace glimra {

namespace {

// Constant-initialised, so that entries of any translation unit can link
// themselves in while the library loads.
const LibraryResource* firstResource = nullptr;

const LibraryResource* findEntry(LibraryResource::Kind kind, UINT id) {
    for (const LibraryResource* r = firstResource; r != nullptr; r = r->next) {
        if (r->kind == kind && r->id == id) {
            return r;
        }
    }
    return nullptr;
}

class OwnResources final : public ResourceModule {
public:
    std::optional<QImage> bitmap(UINT id) const override {
        return image(LibraryResource::Kind::Bitmap, id);
    }
    std::optional<QImage> icon(UINT id) const override {
        return image(LibraryResource::Kind::Icon, id);
    }
    std::optional<std::string> string(UINT id) const override {
        const LibraryResource* r = findEntry(LibraryResource::Kind::String, id);
        if (r == nullptr || r->text == nullptr) {
            return std::nullopt;
        }
        return std::string(r->text);
    }

private:
    static std::optional<QImage> image(LibraryResource::Kind kind, UINT id) {
        const LibraryResource* r = findEntry(kind, id);
        if (r == nullptr || r->maker == nullptr) {
            return std::nullopt;
        }
        QImage made = r->maker();
        if (made.isNull()) {
            return std::nullopt;
        }
        return made;
    }
};

// Never destroyed: entries leave it from the program's exit handlers.
std::vector<const ResourceModule*>& chain() {
    static auto* modules = new std::vector<const ResourceModule*>();
    return *modules;
}

template <typename T, typename F> std::optional<T> throughChain(F lookUp) {
    if (std::optional<T> found = lookUp(programResources())) {
        return found;
    }
    for (const ResourceModule* module : chain()) {
        if (std::optional<T> found = lookUp(*module)) {
            return found;
        }
    }
    return std::nullopt;
}

} // namespace

LibraryResource::LibraryResource(Kind kind, UINT id, ImageMaker maker)
    : kind(kind), id(id), maker(maker), next(firstResource) {
    firstResource = this;
}

LibraryResource::LibraryResource(UINT id, const char* text)
    : kind(Kind::String), id(id), text(text), next(firstResource) {
    firstResource = this;
}

void ProgramResources::clear() {
    bitmaps_.clear();
    icons_.clear();
    strings_.clear();
}

std::optional<QImage> ProgramResources::bitmap(UINT id) const {
    const auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? std::nullopt : std::optional<QImage>(it->second);
}

std::optional<QImage> ProgramResources::icon(UINT id) const {
    const auto it = icons_.find(id);
    return it == icons_.end() ? std::nullopt : std::optional<QImage>(it->second);
}

std::optional<std::string> ProgramResources::string(UINT id) const {
    const auto it = strings_.find(id);
    return it == strings_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

ResourceModule& libraryResources() {
    static OwnResources own;
    return own;
}

ProgramResources& programResources() {
    static ProgramResources program;
    return program;
}

std::optional<QImage> findBitmap(UINT id) {
    return throughChain<QImage>([id](const ResourceModule& m) { return m.bitmap(id); });
}

std::optional<QImage> findIcon(UINT id) {
    return throughChain<QImage>([id](const ResourceModule& m) { return m.icon(id); });
}

std::optional<std::string> findString(UINT id) {
    return throughChain<std::string>([id](const ResourceModule& m) { return m.string(id); });
}

void joinResourceChain(const ResourceModule* module) {
    if (module != nullptr) {
        chain().push_back(module);
    }
}

void leaveResourceChain(const ResourceModule* module) {
    std::vector<const ResourceModule*>& modules = chain();
    const auto it = std::find(modules.begin(), modules.end(), module);
    if (it != modules.end()) {
        modules.erase(it);
    }
}

} // namespace glimra
