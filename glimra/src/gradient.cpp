// Gradient bands and their drawing.

#include "glimra/gradient.h"

#include <algorithm>
#include <cstdlib>

namespace glimra {

namespace {

// Appends the bands of list that lie in from..to, cut to it.
void clipBands(const CGradArray& list, int from, int to, CGradArray& out) {
    int position = 0;
    for (const CGradElement& band : list) {
        const int start = position;
        const int end = position + band.width;
        position = end;
        if (end <= from) {
            continue;
        }
        const int cutEnd = std::min(end, to);
        const int cutStart = std::max(start, from);
        if (cutEnd > cutStart) {
            out.push_back({band.color, cutEnd - cutStart});
        }
        if (end >= to) {
            break;
        }
    }
}

} // namespace

CGradient::CGradient() = default;
CGradient::~CGradient() = default;

void CGradient::SetColorList(int count, std::initializer_list<COLORREF> colors) {
    // A count that disagrees with the colours given, or fewer than two
    // colours, leaves the gradient as it was.
    if (count < 2 || count != static_cast<int>(colors.size())) {
        return;
    }
    colors_.assign(colors.begin(), colors.end());
    stops_.assign(static_cast<size_t>(count - 1), 100.0 / (count - 1));
    palette_.DeleteObject();
}

int CGradient::AddColor(COLORREF color) {
    colors_.push_back(color);
    if (colors_.size() >= 2) {
        const size_t present = stops_.size();
        stops_.push_back(present == 0 ? 100.0 : 100.0 / static_cast<double>(present));
        NormalizeStops();
    }
    palette_.DeleteObject();
    return static_cast<int>(colors_.size());
}

void CGradient::SetStopList(std::initializer_list<double> stops) {
    if (colors_.size() < 2 || stops.size() != colors_.size() - 1) {
        return;
    }
    stops_.assign(stops.begin(), stops.end());
    NormalizeStops();
}

void CGradient::NormalizeStops() {
    double sum = 0;
    for (double s : stops_) {
        sum += s;
    }
    if (sum <= 0) {
        // Weights that add up to nothing: equal segments.
        std::fill(stops_.begin(), stops_.end(), 100.0 / static_cast<double>(stops_.size()));
        return;
    }
    for (double& s : stops_) {
        s = s * 100.0 / sum;
    }
}

void CGradient::GetEndColors(COLORREF* start, COLORREF* end) const {
    const COLORREF first = colors_.empty() ? CLR_INVALID : colors_[0];
    const COLORREF second = colors_.size() < 2 ? first : colors_[1];
    if (start != nullptr) {
        *start = first;
    }
    if (end != nullptr) {
        *end = second;
    }
}

void CGradient::FillLinear(CGradArray& bands, COLORREF a, COLORREF b, int length, int from, int to,
                           unsigned mostColors) {
    if (to == -1) {
        to = length;
    }
    const int dR = GetRValue(b) - GetRValue(a);
    const int dG = GetGValue(b) - GetGValue(a);
    const int dB = GetBValue(b) - GetBValue(a);
    unsigned n = static_cast<unsigned>(std::max({std::abs(dR), std::abs(dG), std::abs(dB)}));
    n = std::min(n, mostColors);
    if (length >= 0) {
        n = std::min(n, static_cast<unsigned>(length));
    }
    n = std::max(n, 1u);
    const long long count = n;
    for (long long k = 0; k < count; ++k) {
        const int start = static_cast<int>(k * length / count);
        const int end = k == count - 1 ? length : static_cast<int>((k + 1) * length / count);
        if (end <= from) {
            continue;
        }
        const COLORREF color = RGB(GetRValue(a) + static_cast<int>(k * dR / count),
                                   GetGValue(a) + static_cast<int>(k * dG / count),
                                   GetBValue(a) + static_cast<int>(k * dB / count));
        const int cutStart = std::max(start, from);
        const int cutEnd = std::min(end, to);
        if (cutEnd > cutStart) {
            bands.push_back({color, cutEnd - cutStart});
        }
        if (end >= to) {
            break;
        }
    }
}

void CGradient::Fill(CGradArray& bands, int length, int from, int to, unsigned mostColors) {
    if (to == -1) {
        to = length;
    }
    if (colors_.empty()) {
        return;
    }
    if (colors_.size() == 1) {
        bands.push_back({colors_[0], to - from});
        return;
    }
    const size_t segments = colors_.size() - 1;
    const unsigned perSegment = mostColors / static_cast<unsigned>(segments);
    double before = 0;
    for (size_t i = 0; i < segments; ++i) {
        const int start = static_cast<int>(length * before / 100.0);
        before += stops_[i];
        const int end = i == segments - 1 ? length : static_cast<int>(length * before / 100.0);
        if (end <= from) {
            continue;
        }
        FillLinear(bands, colors_[i], colors_[i + 1], end - start, std::max(from - start, 0),
                   std::min(to, end) - start, perSegment);
        if (end >= to) {
            break;
        }
    }
}

void CGradient::FillShifted(CGradArray& bands, int shift, int length, int from, int to,
                            unsigned mostColors) {
    if (to == -1) {
        to = length;
    }
    // Any shift, however negative, is brought into 0..length - 1.
    shift = length <= 0 ? 0 : ((shift % length) + length) % length;
    if (shift == 0 || colors_.size() < 2) {
        Fill(bands, length, from, to, mostColors);
        return;
    }
    CGradArray whole;
    Fill(whole, length, 0, length, mostColors);
    if (whole.size() < 2) {
        bands.push_back({colors_[0], to - from});
        return;
    }
    // The last shift pixels move to the front.
    CGradArray front;
    int missing = shift;
    while (missing > 0 && !whole.empty()) {
        CGradElement& last = whole.back();
        if (last.width <= missing) {
            missing -= last.width;
            front.insert(front.begin(), last);
            whole.pop_back();
        } else {
            front.insert(front.begin(), {last.color, missing});
            last.width -= missing;
            missing = 0;
        }
    }
    front.insert(front.end(), whole.begin(), whole.end());
    clipBands(front, from, to, bands);
}

RECT CGradient::GetBandRect(RECT rect, int from, int to) const {
    const bool vertical = direction_ == TopToBottom || direction_ == BottomToTop;
    if (to == -1) {
        to = vertical ? rect.bottom - rect.top : rect.right - rect.left;
    }
    RECT band = rect;
    switch (direction_) {
    case RightToLeft:
        band.left = rect.right - to;
        band.right = rect.right - from;
        break;
    case TopToBottom:
        band.top = rect.top + from;
        band.bottom = rect.top + to;
        break;
    case BottomToTop:
        band.top = rect.bottom - to;
        band.bottom = rect.bottom - from;
        break;
    default:
        band.left = rect.left + from;
        band.right = rect.left + to;
        break;
    }
    return band;
}

void CGradient::CreatePalette() {
    if (usePalette_ == 0 || palette_.isCreated()) {
        return;
    }
    CGradArray bands;
    Fill(bands, 236, 0, 236, 236);
    LOGPALETTE logical;
    logical.palVersion = 0x300;
    for (const CGradElement& band : bands) {
        logical.palPalEntry.push_back({static_cast<BYTE>(GetRValue(band.color)),
                                       static_cast<BYTE>(GetGValue(band.color)),
                                       static_cast<BYTE>(GetBValue(band.color)), 0});
    }
    palette_.CreatePalette(&logical);
}

CPalette* CGradient::GetPalette() {
    CreatePalette();
    return &palette_;
}

void CGradient::Draw(CDC* dc, RECT rect, int from, int to, int shift) {
    if (dc == nullptr || colors_.empty()) {
        return;
    }
    const bool paletteDevice = (dc->GetDeviceCaps(RASTERCAPS) & RC_PALETTE) != 0;
    if (!paletteDevice && dc->GetDeviceCaps(BITSPIXEL) * dc->GetDeviceCaps(PLANES) < 8) {
        const RECT area = GetBandRect(rect, from, to);
        dc->FillSolidRect(&area, colors_[0]);
        return;
    }
    const bool vertical = direction_ == TopToBottom || direction_ == BottomToTop;
    const int extent = vertical ? rect.bottom - rect.top : rect.right - rect.left;
    if (to == -1) {
        to = extent;
    }
    const int length = static_cast<int>(static_cast<float>(extent) * scale_);
    CGradArray bands;
    FillShifted(bands, shift, length, from, to, paletteDevice ? 236u : NoColorLimit);
    CPalette* oldPalette = nullptr;
    bool selected = false;
    if (paletteDevice && usePalette_ != 0) {
        CreatePalette();
        if (palette_.isCreated()) {
            oldPalette = dc->SelectPalette(&palette_, FALSE);
            dc->RealizePalette();
            selected = true;
        }
    }
    int position = from;
    for (const CGradElement& band : bands) {
        const RECT area = GetBandRect(rect, position, position + band.width);
        position += band.width;
        if (paletteDevice) {
            const CBrush brush(selected ? (band.color | 0x02000000u) : band.color);
            dc->FillRect(&area, &brush);
        } else {
            dc->FillSolidRect(&area, band.color);
        }
    }
    if (selected) {
        dc->SelectPalette(oldPalette, TRUE);
    }
}

} // namespace glimra
