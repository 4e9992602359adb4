// The text rotator: a text rendered into a memory bitmap, turned, and copied
// aligned onto its target.

#include "glimra/label.h"

#include "glimra/steptext.h"
#include "glimra/syscolors.h"

#include <algorithm>

namespace glimra {

CTextRotator::CTextRotator(CDC* target, const char* text, int horizontal, int vertical)
    : target_(target), horizontal_(horizontal), vertical_(vertical),
      text_(text != nullptr ? text : ""), bkColor_(GetSysColor(COLOR_BTNFACE)),
      textColor_(GetSysColor(COLOR_WINDOWTEXT)) {}

CTextRotator::CTextRotator(const CTextRotator& other) {
    *this = other;
}

CTextRotator& CTextRotator::operator=(const CTextRotator& other) {
    if (this != &other) {
        Clear();
        target_ = other.target_;
        rect_ = other.rect_;
        horizontal_ = other.horizontal_;
        vertical_ = other.vertical_;
        angle_ = other.angle_;
        embossed_ = other.embossed_;
        etched_ = other.etched_;
        text_ = other.text_;
        bkColor_ = other.bkColor_;
        textColor_ = other.textColor_;
        copyRendering(other);
    }
    return *this;
}

CTextRotator::~CTextRotator() {
    Clear();
}

// A copy gets a rendering of its own, so each is released once.
void CTextRotator::copyRendering(const CTextRotator& other) {
    if (!other.memory_ || !other.memoryBitmap_) {
        return;
    }
    memoryBitmap_ = std::make_unique<CBitmap>(*other.memoryBitmap_);
    memory_ = std::make_unique<CDC>();
    memory_->CreateCompatibleDC(target_);
    memory_->SelectObject(memoryBitmap_.get());
}

void CTextRotator::Clear() {
    if (memory_) {
        memory_->DeleteDC();
    }
    memory_.reset();
    memoryBitmap_.reset();
    rect_ = RECT{};
    angle_ = 0;
}

void CTextRotator::GetRect(RECT* out) const {
    if (out != nullptr) {
        *out = rect_;
    }
}

SIZE* CTextRotator::CalcLinesExtent(SIZE* out, CDC* dc, const std::vector<std::string>* lines) {
    if (out == nullptr) {
        return out;
    }
    *out = SIZE{};
    if (dc == nullptr || lines == nullptr) {
        return out;
    }
    for (const std::string& line : *lines) {
        const SIZE s = dc->GetTextExtent(line);
        out->cx = std::max(out->cx, s.cx);
        out->cy = std::max(out->cy, s.cy);
    }
    return out;
}

BOOL CTextRotator::DrawRotatedText(int angle) {
    Clear();
    angle_ = angle;
    if (target_ == nullptr) {
        return FALSE;
    }
    const std::vector<std::string> lines = splitLines(text_);
    SIZE extent;
    CalcLinesExtent(&extent, target_, &lines);
    const int lineHeight = extent.cy;
    const RECT block{0, 0, extent.cx, lineHeight * static_cast<int>(lines.size())};
    const int side = std::max(block.right, block.bottom);

    CBitmap workBitmap;
    CDC work;
    auto bitmap = std::make_unique<CBitmap>();
    auto memory = std::make_unique<CDC>();
    if (side <= 0 || !workBitmap.CreateCompatibleBitmap(target_, side, side) ||
        !bitmap->CreateCompatibleBitmap(target_, side, side) || !work.CreateCompatibleDC(target_) ||
        !memory->CreateCompatibleDC(target_)) {
        return FALSE;
    }
    work.SelectObject(&workBitmap);
    memory->SelectObject(bitmap.get());

    CFont font;
    font.CreateFontIndirect(&target_->currentLogFont());
    work.SelectObject(&font);
    work.SetBkMode(TRANSPARENT);
    work.FillSolidRect(&block, bkColor_);
    memory->FillSolidRect(&block, bkColor_);
    work.SetTextColor(textColor_);

    UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    if (horizontal_ == 1) {
        format |= DT_CENTER;
    } else if (horizontal_ == 2) {
        format |= DT_RIGHT;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const int top = static_cast<int>(i) * lineHeight;
        RECT row{0, top, block.right, top + lineHeight};
        if (embossed_) {
            RECT shifted = row;
            shifted.offset(1, 1);
            work.SetTextColor(GetSysColor(COLOR_BTNHIGHLIGHT));
            work.DrawText(lines[i], &shifted, format);
            work.SetTextColor(GetSysColor(COLOR_BTNSHADOW));
        }
        work.DrawText(lines[i], &row, format);
    }
    RotateBlt(&work, memory.get(), 0, 0, block.right, block.bottom, angle);
    work.DeleteDC();

    memoryBitmap_ = std::move(bitmap);
    memory_ = std::move(memory);
    rect_ = (angle == 90 || angle == 270) ? RECT{0, 0, block.bottom, block.right} : block;
    return TRUE;
}

BOOL CTextRotator::RotateBlt(CDC* source, CDC* destination, int left, int top, int right,
                             int bottom, int angle) {
    if (source == nullptr || destination == nullptr) {
        return FALSE;
    }
    const int w = right - left;
    const int h = bottom - top;
    if (angle != 90 && angle != 180 && angle != 270) {
        return destination->BitBlt(0, 0, w, h, source, left, top, SRCCOPY);
    }
    // The parallelogram copy of the platform maps pixels exactly so: 90
    // degrees turns clockwise, 270 counter-clockwise.
    const QImage* from = source->surfaceImage();
    QImage* to = destination->surfaceImage();
    if (from == nullptr || to == nullptr) {
        return FALSE;
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const QPoint s(left + x, top + y);
            if (!from->valid(s)) {
                continue;
            }
            QPoint d;
            if (angle == 90) {
                d = QPoint(h - 1 - y, x);
            } else if (angle == 180) {
                d = QPoint(w - 1 - x, h - 1 - y);
            } else {
                d = QPoint(y, w - 1 - x);
            }
            if (to->valid(d)) {
                to->setPixel(d, from->pixel(s));
            }
        }
    }
    return TRUE;
}

BOOL CTextRotator::BltTo(int x, int y) {
    if (!memory_ || target_ == nullptr || rect_.isEmpty()) {
        return FALSE;
    }
    return target_->BitBlt(x, y, rect_.width(), rect_.height(), memory_.get(), 0, 0, SRCCOPY);
}

BOOL CTextRotator::BltAligned(int left, int top, int right, int bottom) {
    if (!memory_ || target_ == nullptr) {
        return FALSE;
    }
    const int areaW = right - left;
    const int areaH = bottom - top;
    const int w = rect_.width();
    const int h = rect_.height();
    const RECT kept = rect_;
    rect_.right = rect_.left + std::min(w, areaW);
    rect_.bottom = rect_.top + std::min(h, areaH);

    const int x = horizontal_ == 1 ? (areaW - w) / 2 : horizontal_ == 2 ? areaW - w : 0;
    const int y = vertical_ == 1 ? (areaH - h) / 2 : vertical_ == 2 ? areaH - h : 0;
    const BOOL copied = BltTo(x, y);

    if (etched_) {
        constexpr int gap = 6;
        auto vertical = [&](int at, int from, int to) {
            RECT line{at, from, at + 2, to};
            if (to > from) {
                target_->DrawEdge(&line, EDGE_ETCHED, BF_LEFT);
            }
        };
        auto horizontal = [&](int at, int from, int to) {
            RECT line{from, at, to, at + 2};
            if (to > from) {
                target_->DrawEdge(&line, EDGE_ETCHED, BF_TOP);
            }
        };
        if (angle_ != 0 && angle_ != 180) {
            const int at = horizontal_ == 0 ? w / 2 : horizontal_ == 1 ? areaW / 2 : areaW - w / 2;
            if (horizontal_ >= 0 && horizontal_ <= 2) {
                if (vertical_ == 0) {
                    vertical(at, h + gap, areaH - gap);
                } else if (vertical_ == 2) {
                    vertical(at, gap, areaH - h - gap);
                } else if (vertical_ == 1) {
                    vertical(at, gap, areaH / 2 - h / 2 - gap);
                    vertical(at, areaH / 2 + h / 2 + gap, areaH - gap);
                }
            }
        } else {
            const int at = vertical_ == 0 ? h / 2 : vertical_ == 1 ? areaH / 2 : areaH - h / 2;
            if (vertical_ >= 0 && vertical_ <= 2) {
                if (horizontal_ == 0) {
                    horizontal(at, w + gap, areaW - gap);
                } else if (horizontal_ == 2) {
                    horizontal(at, gap, areaW - w - gap);
                } else if (horizontal_ == 1) {
                    horizontal(at, gap, areaW / 2 - w / 2 - gap);
                    horizontal(at, areaW / 2 + w / 2 + gap, areaW - gap);
                }
            }
        }
    }
    rect_ = kept;
    return copied;
}

} // namespace glimra
