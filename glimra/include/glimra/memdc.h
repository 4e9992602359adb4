#pragma once
// Off-screen drawing and scoped selectors.
//
// CMemDC stands in for a target context: drawing goes to a memory bitmap of
// the target's rectangle that is copied onto the target, in one copy, when
// the object goes. On a printing context it draws straight onto the target.
//
// The CSelect family sets one attribute of a context, keeps the value it
// replaced first and puts that back when restored or destroyed.

#include "glimra/export.h"
#include "glimra/gdi.h"

namespace glimra {

class GLIMRA_EXPORT CMemDC : public CDC {
public:
    // rect null: the target's clip box. copyBackground: start from the
    // target's content. palette: realise a palette on the target at the end
    // (palette devices).
    CMemDC(CDC* target, const RECT* rect = nullptr, BOOL copyBackground = FALSE,
           BOOL palette = FALSE);
    ~CMemDC() override;

    BOOL isMemory() const { return memory_; }
    const RECT& rect() const { return rect_; }

private:
    CBitmap bitmap_;
    CBitmap* oldBitmap_ = nullptr;
    CDC* target_;
    RECT rect_;
    BOOL memory_;
    BOOL palette_;
    bool blend_ = false;
};

class GLIMRA_EXPORT CSelect {
public:
    explicit CSelect(CDC* dc) : dc_(dc) {}
    virtual ~CSelect() = default;
    CSelect(const CSelect&) = delete;
    CSelect& operator=(const CSelect&) = delete;

protected:
    CDC* dc_;
};

// The font a font selector owns.
class GLIMRA_EXPORT CMyFont : public CFont {};

class GLIMRA_EXPORT CSelFont : public CSelect {
public:
    explicit CSelFont(CDC* dc) : CSelect(dc) {}
    ~CSelFont() override { Restore(); }
    void Select(CFont* font);
    void Restore();

private:
    CMyFont font_;
    CFont* old_ = nullptr;
};

class GLIMRA_EXPORT CSelBkMode : public CSelect {
public:
    CSelBkMode(CDC* dc, int mode) : CSelect(dc) { Select(mode); }
    ~CSelBkMode() override { Restore(); }
    void Select(int mode);
    void Restore();

private:
    int old_ = 0;
};

class GLIMRA_EXPORT CSelTextAlign : public CSelect {
public:
    CSelTextAlign(CDC* dc, UINT align) : CSelect(dc) { Select(align); }
    ~CSelTextAlign() override { Restore(); }
    void Select(UINT align);
    void Restore();

private:
    UINT old_ = GDI_ERROR;
};

class GLIMRA_EXPORT CSelTextColor : public CSelect {
public:
    CSelTextColor(CDC* dc, COLORREF color) : CSelect(dc) { Select(color); }
    ~CSelTextColor() override { Restore(); }
    void Select(COLORREF color);
    void Restore();

private:
    COLORREF old_ = CLR_INVALID;
};

} // namespace glimra
