#pragma once
// Where text measures come from. Qt's font metrics by default; tests install
// fixed metrics so that text placement does not depend on the fonts of the
// machine.

#include "glimra/export.h"
#include "glimra/gdi.h"

#include "platform/current_instance.h"

#include <QFont>

#include <memory>
#include <string_view>

namespace glimra {

class GLIMRA_EXPORT FontMetricsSource {
public:
    virtual ~FontMetricsSource() = default;
    // Width and height of one line of text drawn in the font.
    virtual SIZE extent(const QFont& font, std::string_view text) = 0;
    virtual TEXTMETRIC metrics(const QFont& font) = 0;
};

class GLIMRA_EXPORT QtFontMetrics final : public FontMetricsSource {
public:
    SIZE extent(const QFont& font, std::string_view text) override;
    TEXTMETRIC metrics(const QFont& font) override;
};

// Every character charWidth wide, every line height high (ascent 80 %),
// whatever the font.
class GLIMRA_EXPORT FixedFontMetrics final : public FontMetricsSource {
public:
    FixedFontMetrics(int charWidth, int height) : charWidth_(charWidth), height_(height) {}
    SIZE extent(const QFont& font, std::string_view text) override;
    TEXTMETRIC metrics(const QFont& font) override;

private:
    int charWidth_;
    int height_;
};

// Installing null puts Qt's metrics back; returns the source installed before.
GLIMRA_EXPORT std::shared_ptr<FontMetricsSource> setFontMetricsSource(std::shared_ptr<FontMetricsSource> source);
GLIMRA_EXPORT std::shared_ptr<FontMetricsSource> fontMetricsSource();
using ScopedFontMetrics = platform::ScopedInstall<FontMetricsSource, &setFontMetricsSource>;

} // namespace glimra
