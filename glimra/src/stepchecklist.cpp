// The step check list and its state images.

#include "glimra/stepchecklist.h"

#include "glimra/dialog.h"
#include "glimra/resources.h"
#include "glimra/steptext.h"
#include "glimra/subclass.h"
#include "glimra/syscolors.h"

#include <QPainter>
#include <QPixmap>

namespace glimra {

namespace {

constexpr int Side = 10;
const QColor LightGrey(192, 192, 192);

QImage blankImage() {
    QImage image(Side, Side, QImage::Format_RGB32);
    image.fill(LightGrey);
    return image;
}

QImage makeArrow() {
    QImage image = blankImage();
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    const QPoint tip[3] = {QPoint(3, 1), QPoint(8, 5), QPoint(3, 9)};
    p.drawPolygon(tip, 3);
    p.fillRect(QRect(1, 4, 3, 3), Qt::black);
    return image;
}

QImage makeDot() {
    QImage image = blankImage();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(128, 128, 128));
    p.drawEllipse(QRectF(2.5, 2.5, 5, 5));
    return image;
}

QImage makeCheck() {
    QImage image = blankImage();
    QPainter p(&image);
    QPen pen(Qt::black, 2);
    pen.setCapStyle(Qt::SquareCap);
    p.setPen(pen);
    p.drawLine(QPoint(2, 5), QPoint(4, 7));
    p.drawLine(QPoint(4, 7), QPoint(8, 2));
    return image;
}

QImage makeExclamation() {
    QImage image = blankImage();
    QPainter p(&image);
    p.fillRect(QRect(4, 0, 2, 6), QColor(255, 0, 0));
    p.fillRect(QRect(4, 8, 2, 2), QColor(255, 0, 0));
    return image;
}

const LibraryResource blankBitmap{LibraryResource::Kind::Bitmap, 10100, &blankImage};
const LibraryResource arrowBitmap{LibraryResource::Kind::Bitmap, 10101, &makeArrow};
const LibraryResource dotBitmap{LibraryResource::Kind::Bitmap, 10102, &makeDot};
const LibraryResource checkBitmap{LibraryResource::Kind::Bitmap, 10103, &makeCheck};
const LibraryResource exclamationBitmap{LibraryResource::Kind::Bitmap, 10104, &makeExclamation};

// Light grey becomes the face colour of the desktop's 3D controls.
QImage mapTo3DColors(QImage image) {
    image = image.convertToFormat(QImage::Format_RGB32);
    const QRgb grey = LightGrey.rgb();
    const QRgb face = toQColor(GetSysColor(COLOR_3DFACE)).rgb();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] | 0xFF000000u) == grey) {
                line[x] = face;
            }
        }
    }
    return image;
}

} // namespace

CStepCheckList::CStepCheckList(QWidget* parent) : QWidget(parent) {
    for (int i = 0; i < static_cast<int>(stateImages_.size()); ++i) {
        if (std::optional<QImage> image =
                libraryResources().bitmap(FirstStateBitmap + static_cast<UINT>(i))) {
            stateImages_[static_cast<size_t>(i)] = mapTo3DColors(*image);
        }
    }
}

CStepCheckList::~CStepCheckList() {
    FreeItems();
}

BOOL CStepCheckList::SetSteps(int count, UINT stringId) {
    if (built_ || count <= 0 || stringId == 0) {
        return FALSE;
    }
    count_ = count;
    stepText_ = findString(stringId).value_or(std::string());
    return stepText_.empty() ? FALSE : TRUE;
}

BOOL CStepCheckList::SetSteps(int count, const std::string& text) {
    if (built_ || count <= 0 || text.empty()) {
        return FALSE;
    }
    count_ = count;
    stepText_ = text;
    return TRUE;
}

bool CStepCheckList::readSteps() {
    const std::optional<StepText> read =
        readStepWindowText(windowText_, delimiter_, [](UINT id) { return findString(id); });
    if (!read) {
        return false;
    }
    stepText_ = read->text;
    count_ = read->count;
    return count_ > 0;
}

BOOL CStepCheckList::Create(const std::string& windowText, DWORD style, const RECT& rect,
                            QWidget* parent, UINT id) {
    setParent(parent);
    setGeometry(toQRect(rect));
    setDlgCtrlID(this, static_cast<int>(id));
    windowText_ = windowText;
    setVisible((style & WS_VISIBLE) != 0);
    readSteps();
    if (count_ <= 0 || stepText_.empty()) {
        return TRUE;
    }
    return buildItems() ? TRUE : FALSE;
}

BOOL CStepCheckList::SubclassDlgItem(int id, QWidget* dialog) {
    const std::optional<TakenControl> taken = takeControl(dialog, id);
    if (!taken) {
        return FALSE;
    }
    placeLike(this, *taken);
    windowText_ = taken->text;
    PreSubclassWindow();
    return TRUE;
}

void CStepCheckList::PreSubclassWindow() {
    if (readSteps()) {
        buildItems();
    }
}

bool CStepCheckList::buildItems() {
    if (built_ || made_ > 0 || count_ < 1 || stepText_.empty()) {
        return false;
    }
    const auto count = static_cast<size_t>(count_);
    images_.clear();
    texts_.clear();
    images_.reserve(count);
    texts_.reserve(count);
    imageIndex_.assign(count, Blank);

    rect_ = RECT{0, 0, width(), height()};
    const DWORD units = GetDialogBaseUnits();
    const int bx = LOWORD(units);
    const int by = HIWORD(units);
    const int pitch = MulDiv(10, by, 8);
    const int imageW = MulDiv(8, bx, 4);
    const int imageH = MulDiv(8, by, 8);
    const int textOffset = MulDiv(10, bx, 4);
    const int textH = MulDiv(8, by, 8);
    const std::vector<std::string> pieces = stepPieces(stepText_, delimiter_);

    for (int i = 0; i < count_; ++i) {
        const int y = rect_.top + i * pitch;
        auto image = std::make_unique<QLabel>(this);
        image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        image->setGeometry(rect_.left, y, imageW, imageH);
        setDlgCtrlID(image.get(), 0xFFFF);
        image->show();
        auto text = std::make_unique<CNewLabel>();
        const std::string piece =
            static_cast<size_t>(i) < pieces.size() ? pieces[static_cast<size_t>(i)] : "";
        if (!text->Create("", WS_VISIBLE | SS_NOTIFY | SS_NOPREFIX | SS_LEFTNOWORDWRAP,
                          RECT{rect_.left + textOffset, y, rect_.right - textOffset, y + textH},
                          this, 0xFFFF)) {
            break;
        }
        text->SetText(piece.c_str());
        images_.push_back(std::move(image));
        texts_.push_back(std::move(text));
        ++made_;
    }
    built_ = made_ == count_ ? TRUE : FALSE;
    if (built_) {
        ResetStates();
    }
    return built_ != FALSE;
}

bool CStepCheckList::hasItem(int step) const {
    // After FreeItems the list may still count as built: only existing items
    // are reached.
    return built_ && step >= 0 && step < count_ && step < made_;
}

void CStepCheckList::SetStepState(int step, int state) {
    if (!hasItem(step) || state < Current || state > Error) {
        return;
    }
    const auto i = static_cast<size_t>(step);
    images_[i]->setPixmap(QPixmap::fromImage(stateImages_[static_cast<size_t>(state)]));
    imageIndex_[i] = state;
    texts_[i]->SetFontBold(state == Current);
}

void CStepCheckList::ResetStates() {
    if (!built_) {
        return;
    }
    for (int i = 0; i < made_; ++i) {
        const auto at = static_cast<size_t>(i);
        images_[at]->setPixmap(QPixmap::fromImage(stateImages_[Blank]));
        imageIndex_[at] = Blank;
        if (texts_[at]->IsFontBold()) {
            texts_[at]->SetFontBold(FALSE);
        }
    }
}

void CStepCheckList::EnableStep(int step, BOOL enable) {
    if (!hasItem(step)) {
        return;
    }
    texts_[static_cast<size_t>(step)]->SetDisabledStyle(enable ? FALSE : TRUE);
}

void CStepCheckList::FreeItems() {
    texts_.clear();
    images_.clear();
    imageIndex_.clear();
    made_ = 0;
}

void CStepCheckList::DestroyWindow() {
    hide();
    FreeItems();
    built_ = FALSE;
}

int CStepCheckList::stepImage(int step) const {
    return hasItem(step) ? imageIndex_[static_cast<size_t>(step)] : -1;
}

CNewLabel* CStepCheckList::stepLabel(int step) const {
    return hasItem(step) ? texts_[static_cast<size_t>(step)].get() : nullptr;
}

QLabel* CStepCheckList::stepImageControl(int step) const {
    return hasItem(step) ? images_[static_cast<size_t>(step)].get() : nullptr;
}

void CStepCheckList::paintEvent(QPaintEvent*) {
    // The items paint themselves.
}

} // namespace glimra
