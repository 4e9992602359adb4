#pragma once
// Resources by id: bitmaps, icons and strings. Each module has its own: the
// library's (what its classes load from "the library's own resources") and the
// client program's. Look-ups "through the resource chain" search the
// program's resources first, then those of every library joined to the chain
// by InitGuiLibrary.
//
// The library declares each resource of its own once, beside the class that
// uses it, as a static LibraryResource whose maker runs at the first look-up:
//
//     static const glimra::LibraryResource strip{glimra::LibraryResource::Kind::Bitmap,
//                                                10505, &makeLedStrip};

#include "glimra/export.h"
#include "glimra/types.h"

#include <QImage>

#include <map>
#include <optional>
#include <string>

namespace glimra {

// One resource of the library itself. Objects of this type are static; they
// link themselves into the library's list when the library is loaded and
// make nothing until looked up.
struct GLIMRA_EXPORT LibraryResource {
    enum class Kind { Bitmap, Icon, String };
    using ImageMaker = QImage (*)();

    LibraryResource(Kind kind, UINT id, ImageMaker maker);
    LibraryResource(UINT id, const char* text);

    Kind kind;
    UINT id;
    ImageMaker maker = nullptr;
    const char* text = nullptr;
    const LibraryResource* next = nullptr;
};

class GLIMRA_EXPORT ResourceModule {
public:
    virtual ~ResourceModule() = default;
    virtual std::optional<QImage> bitmap(UINT id) const = 0;
    virtual std::optional<QImage> icon(UINT id) const = 0;
    virtual std::optional<std::string> string(UINT id) const = 0;
};

// Resources added at run time: the program's own.
class GLIMRA_EXPORT ProgramResources final : public ResourceModule {
public:
    void addBitmap(UINT id, const QImage& image) { bitmaps_[id] = image; }
    void addIcon(UINT id, const QImage& image) { icons_[id] = image; }
    void addString(UINT id, const std::string& text) { strings_[id] = text; }
    void clear();

    std::optional<QImage> bitmap(UINT id) const override;
    std::optional<QImage> icon(UINT id) const override;
    std::optional<std::string> string(UINT id) const override;

private:
    std::map<UINT, QImage> bitmaps_;
    std::map<UINT, QImage> icons_;
    std::map<UINT, std::string> strings_;
};

// The library's own resources (its resource handle).
GLIMRA_EXPORT ResourceModule& libraryResources();
// The calling program's resources, first in the chain.
GLIMRA_EXPORT ProgramResources& programResources();

// Look-ups through the chain.
GLIMRA_EXPORT std::optional<QImage> findBitmap(UINT id);
GLIMRA_EXPORT std::optional<QImage> findIcon(UINT id);
GLIMRA_EXPORT std::optional<std::string> findString(UINT id);

// The chain's library entries, in the order they joined (kept by
// CDynLinkLibrary).
GLIMRA_EXPORT void joinResourceChain(const ResourceModule* module);
GLIMRA_EXPORT void leaveResourceChain(const ResourceModule* module);

} // namespace glimra
