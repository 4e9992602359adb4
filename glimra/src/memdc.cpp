// Off-screen drawing and the scoped selectors.

#include "glimra/memdc.h"

#include <algorithm>

namespace glimra {

CMemDC::CMemDC(CDC* target, const RECT* rect, BOOL copyBackground, BOOL palette)
    : target_(target), memory_(target != nullptr && !target->IsPrinting()), palette_(palette) {
    if (target_ == nullptr) {
        return;
    }
    if (!memory_) {
        // Printing: draw straight onto the target.
        borrowSurface(target_);
        target_->GetClipBox(&rect_);
        return;
    }
    if (rect != nullptr) {
        rect_ = *rect;
    } else {
        target_->GetClipBox(&rect_);
    }
    CreateCompatibleDC(target_);
    bitmap_.CreateCompatibleBitmap(target_, rect_.right - rect_.left, rect_.bottom - rect_.top);
    oldBitmap_ = SelectObject(&bitmap_);
    SetWindowOrg(rect_.left, rect_.top);
    POINT corner{rect_.left, rect_.top};
    target_->LPtoDP(&corner);
    setRecorder(target_->recorder(), toQPoint(corner));
    if (copyBackground) {
        if (target_->surfaceImage() != nullptr) {
            BitBlt(rect_.left, rect_.top, rect_.right - rect_.left, rect_.bottom - rect_.top,
                   target_, rect_.left, rect_.top, SRCCOPY);
        } else {
            // A screen that cannot be read back: start see-through, so that
            // the copy back leaves what is already there wherever nothing
            // was drawn.
            bitmap_.image().fill(Qt::transparent);
            blend_ = true;
        }
    }
}

CMemDC::~CMemDC() {
    if (target_ == nullptr) {
        return;
    }
    if (!memory_) {
        releaseSurface();
        return;
    }
    CPalette* oldPalette = nullptr;
    CPalette built;
    const bool realise = palette_ && (GetDeviceCaps(RASTERCAPS) & RC_PALETTE) != 0;
    if (realise) {
        // The memory bitmap's colours are true colours here: the palette is
        // the first 236 distinct colours drawn.
        LOGPALETTE logical;
        const QImage& image = bitmap_.image();
        for (int y = 0; y < image.height() && logical.palPalEntry.size() < 236; ++y) {
            for (int x = 0; x < image.width() && logical.palPalEntry.size() < 236; ++x) {
                const QRgb p = image.pixel(x, y);
                const PALETTEENTRY e{static_cast<BYTE>(qRed(p)), static_cast<BYTE>(qGreen(p)),
                                     static_cast<BYTE>(qBlue(p)), 0};
                const bool known = std::any_of(
                    logical.palPalEntry.begin(), logical.palPalEntry.end(),
                    [&](const PALETTEENTRY& o) {
                        return o.peRed == e.peRed && o.peGreen == e.peGreen && o.peBlue == e.peBlue;
                    });
                if (!known) {
                    logical.palPalEntry.push_back(e);
                }
            }
        }
        if (built.CreatePalette(&logical)) {
            oldPalette = target_->SelectPalette(&built, FALSE);
            target_->RealizePalette();
        }
    }
    const int width = rect_.right - rect_.left;
    const int height = rect_.bottom - rect_.top;
    if (blend_) {
        target_->drawImage(rect_.left, rect_.top, bitmap_.image());
    } else {
        target_->BitBlt(rect_.left, rect_.top, width, height, this, rect_.left, rect_.top, SRCCOPY);
    }
    if (realise) {
        target_->SelectPalette(oldPalette, TRUE);
    }
    SelectObject(oldBitmap_);
    DeleteDC();
    bitmap_.DeleteObject();
}

void CSelFont::Select(CFont* font) {
    if (dc_ == nullptr || font == nullptr) {
        return;
    }
    CFont* old = dc_->SelectObject(font);
    if (old_ == nullptr) {
        old_ = old;
    }
    font_.DeleteObject();
}

void CSelFont::Restore() {
    if (dc_ != nullptr && old_ != nullptr) {
        dc_->SelectObject(old_);
        old_ = nullptr;
    }
    font_.DeleteObject();
}

void CSelBkMode::Select(int mode) {
    if (dc_ == nullptr) {
        return;
    }
    const int old = dc_->SetBkMode(mode);
    if (old_ == 0) {
        old_ = old;
    }
}

void CSelBkMode::Restore() {
    if (dc_ != nullptr && old_ != 0) {
        dc_->SetBkMode(old_);
        old_ = 0;
    }
}

void CSelTextAlign::Select(UINT align) {
    if (dc_ == nullptr) {
        return;
    }
    const UINT old = dc_->SetTextAlign(align);
    if (old_ == GDI_ERROR) {
        old_ = old;
    }
}

void CSelTextAlign::Restore() {
    if (dc_ != nullptr && old_ != GDI_ERROR) {
        dc_->SetTextAlign(old_);
        old_ = GDI_ERROR;
    }
}

void CSelTextColor::Select(COLORREF color) {
    if (dc_ == nullptr) {
        return;
    }
    const COLORREF old = dc_->SetTextColor(color);
    if (old_ == CLR_INVALID) {
        old_ = old;
    }
}

void CSelTextColor::Restore() {
    if (dc_ != nullptr && old_ != CLR_INVALID) {
        dc_->SetTextColor(old_);
        old_ = CLR_INVALID;
    }
}

} // namespace glimra
