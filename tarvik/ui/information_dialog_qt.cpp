// The Qt presenter of the library's information dialog, in libtarvik_ui.so,
// which libtarvik.so loads only when the process runs Qt widgets. It lays the
// controls out on the dialog's grid of dialog units (a quarter of the average
// character width across, an eighth of the line height down), so the dialog
// keeps its proportions with any font.

#include "core/information_dialog_model.h"

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>

#include <array>

namespace {

using tarvik::info::Model;
using tarvik::info::TreeItem;

// The eight 16 x 16 images of the tree, drawn here.
QIcon makeImage(int index) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(1.5, 1.5, 13, 13);
    const auto chip = [&](const QColor& fill) {
        p.setPen(QPen(fill.darker(150), 1));
        p.setBrush(fill);
        p.drawRoundedRect(box, 2.5, 2.5);
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
    };
    switch (index) {
    case 0: // valid image: a tick
        chip(QColor(46, 139, 87));
        p.drawPolyline(QPolygonF{{4.5, 8.0}, {7.0, 10.5}, {11.5, 5.0}});
        break;
    case 2: // image not readable: a cross
        chip(QColor(200, 48, 48));
        p.drawLine(QPointF(5, 5), QPointF(11, 11));
        p.drawLine(QPointF(11, 5), QPointF(5, 11));
        break;
    case 3: // selected: an arrow
        chip(QColor(38, 98, 186));
        p.drawPolyline(QPolygonF{{6.0, 4.5}, {10.0, 8.0}, {6.0, 11.5}});
        break;
    case 4: { // a channel unlike the first: a warning triangle
        QPainterPath triangle;
        triangle.moveTo(8, 1.5);
        triangle.lineTo(14.5, 14.5);
        triangle.lineTo(1.5, 14.5);
        triangle.closeSubpath();
        p.setPen(QPen(QColor(170, 110, 0), 1));
        p.setBrush(QColor(240, 176, 32));
        p.drawPath(triangle);
        p.setPen(QPen(Qt::black, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 6), QPointF(8, 10));
        p.drawPoint(QPointF(8, 12.5));
        break;
    }
    case 7: // configured values: a hollow box with lines
        p.setPen(QPen(QColor(110, 110, 110), 1));
        p.setBrush(QColor(236, 236, 236));
        p.drawRoundedRect(box, 2.5, 2.5);
        p.drawLine(QPointF(4.5, 6), QPointF(11.5, 6));
        p.drawLine(QPointF(4.5, 10), QPointF(11.5, 10));
        break;
    default: // loaded and not used
        chip(QColor(150, 150, 150));
        break;
    }
    return QIcon(pixmap);
}

class InformationDialog : public QDialog {
public:
    InformationDialog(Model& model, QWidget* parent) : QDialog(parent), model_(model) {
        setWindowTitle(QString::fromUtf8(tarvik::info::kCaption));
        setObjectName("hardwareConfiguration");
        for (int i = 0; i < tarvik::info::kImageCount; ++i) {
            images_[static_cast<size_t>(i)] = makeImage(i);
        }
        const QFontMetrics metrics(font());
        const QString alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
        unitX_ = metrics.horizontalAdvance(alphabet) / 52.0 / 4.0;
        unitY_ = metrics.height() / 8.0;
        setFixedSize(dlu(446, 284));

        group("General Info", 225, 4, 213, 85);
        group("Sensor Parameters", 226, 95, 212, 126);
        group("Interface electronics", 8, 225, 209, 50);

        tree_ = new QTreeWidget(this);
        tree_->setObjectName("tree");
        tree_->setHeaderHidden(true);
        tree_->setIconSize(QSize(16, 16));
        tree_->setRootIsDecorated(true);
        place(tree_, 8, 8, 209, 213);
        list_ = new QListWidget(this);
        list_->setObjectName("information");
        list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        place(list_, 234, 18, 198, 65);

        label("Channel", 235, 110, 47, 8);
        channel_ = edit("channel", Qt::AlignCenter, 289, 108, 20, 12);
        label("Sensor Type", 234, 126, 48, 8);
        sensorType_ = edit("sensorType", Qt::AlignCenter, 288, 124, 143, 12);
        label("Sensor Size", 234, 144, 48, 8);
        sensorSize_ = edit("sensorSize", Qt::AlignCenter, 288, 143, 143, 12);
        static constexpr std::array<std::array<int, 4>, 5> kCoefficients{{{232, 169, 248, 167},
                                                                          {232, 184, 248, 183},
                                                                          {333, 169, 349, 167},
                                                                          {333, 184, 349, 183},
                                                                          {282, 203, 298, 201}}};
        for (size_t i = 0; i < kCoefficients.size(); ++i) {
            const auto& at = kCoefficients[i];
            label(QString("C%1").arg(i), at[0], at[1], 12, 8);
            coefficients_[i] = edit(QString("c%1").arg(i), Qt::AlignRight | Qt::AlignVCenter, at[2],
                                    at[3], 81, 12);
        }

        versionLabel_ = label("Driver version", 20, 240, 97, 10);
        versionLabel_->setObjectName("versionLabel");
        versionValue_ = edit("versionValue", Qt::AlignCenter, 129, 237, 72, 12);
        label(QString::fromUtf8(tarvik::info::kLibraryVersionLabel), 20, 255, 97, 10);
        libraryVersion_ = edit("libraryVersion", Qt::AlignCenter, 129, 252, 72, 12);

        auto* ok = new QPushButton("OK", this);
        ok->setObjectName("ok");
        ok->setDefault(true);
        place(ok, 310, 260, 50, 14);
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        auto* cancel = new QPushButton("Cancel", this);
        place(cancel, 374, 260, 50, 14);
        cancel->hide();
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

        for (const TreeItem& item : model_.tree()) {
            addItem(item, nullptr);
        }
        // The model ran the selection handler while it built the tree.
        if (QTreeWidgetItem* selected = byParameter_.value(model_.selection())) {
            const QSignalBlocker blocker(tree_);
            tree_->setCurrentItem(selected);
            showSelected(selected, nullptr);
        }
        connect(tree_, &QTreeWidget::currentItemChanged, this,
                [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
                    if (current != nullptr) {
                        model_.select(current->data(0, Qt::UserRole).toInt());
                    }
                    showSelected(current, previous);
                });
        showFields();
        tree_->setFocus();
    }

private:
    QSize dlu(int x, int y) const { return {qRound(x * unitX_), qRound(y * unitY_)}; }
    void place(QWidget* widget, int x, int y, int width, int height) const {
        const QSize at = dlu(x, y);
        widget->setGeometry(QRect(QPoint(at.width(), at.height()), dlu(width, height)));
    }
    void group(const QString& title, int x, int y, int width, int height) {
        place(new QGroupBox(title, this), x, y, width, height);
    }
    QLabel* label(const QString& text, int x, int y, int width, int height) {
        auto* widget = new QLabel(text, this);
        place(widget, x, y, width, height + 2);
        return widget;
    }
    QLineEdit* edit(const QString& name, Qt::Alignment alignment, int x, int y, int width,
                    int height) {
        auto* widget = new QLineEdit(this);
        widget->setObjectName(name);
        widget->setReadOnly(true);
        widget->setAlignment(alignment);
        widget->setFocusPolicy(Qt::ClickFocus);
        place(widget, x, y, width, height);
        return widget;
    }

    void addItem(const TreeItem& item, QTreeWidgetItem* parent) {
        auto* widgetItem =
            parent == nullptr ? new QTreeWidgetItem(tree_) : new QTreeWidgetItem(parent);
        widgetItem->setText(0, QString::fromStdString(item.text));
        widgetItem->setData(0, Qt::UserRole, item.parameter);
        widgetItem->setData(0, Qt::UserRole + 1, item.image);
        widgetItem->setIcon(0, images_[static_cast<size_t>(item.image) % images_.size()]);
        byParameter_.insert(item.parameter, widgetItem);
        for (const TreeItem& child : item.children) {
            addItem(child, widgetItem);
        }
        widgetItem->setExpanded(item.expanded);
    }

    // Every item shows the selected image while it is selected.
    void showSelected(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
        if (previous != nullptr) {
            const int image = previous->data(0, Qt::UserRole + 1).toInt();
            previous->setIcon(0, images_[static_cast<size_t>(image) % images_.size()]);
        }
        if (current != nullptr) {
            current->setIcon(0, images_[tarvik::info::kImageSelected]);
        }
        showFields();
    }

    void showFields() {
        const tarvik::info::Fields& f = model_.fields();
        const auto set = [](QLineEdit* edit, const std::string& text) {
            edit->setText(QString::fromStdString(text));
            edit->setCursorPosition(0);
        };
        set(channel_, f.channel);
        set(sensorType_, f.sensorType);
        set(sensorSize_, f.sensorSize);
        for (size_t i = 0; i < coefficients_.size(); ++i) {
            set(coefficients_[i], f.coefficients[i]);
        }
        set(versionValue_, f.versionValue);
        set(libraryVersion_, f.libraryVersion);
        versionLabel_->setText(QString::fromStdString(f.versionLabel));
        list_->clear();
        for (const std::string& line : f.information) {
            list_->addItem(QString::fromStdString(line));
        }
    }

    Model& model_;
    double unitX_ = 1.5;
    double unitY_ = 1.625;
    std::array<QIcon, tarvik::info::kImageCount> images_;
    QHash<int, QTreeWidgetItem*> byParameter_;
    QTreeWidget* tree_ = nullptr;
    QListWidget* list_ = nullptr;
    QLineEdit* channel_ = nullptr;
    QLineEdit* sensorType_ = nullptr;
    QLineEdit* sensorSize_ = nullptr;
    std::array<QLineEdit*, 5> coefficients_{};
    QLabel* versionLabel_ = nullptr;
    QLineEdit* versionValue_ = nullptr;
    QLineEdit* libraryVersion_ = nullptr;
};

} // namespace

extern "C" __attribute__((visibility("default"))) int
tarvik_ui_run_information_dialog(tarvik::info::Model* model) {
    auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (model == nullptr || application == nullptr ||
        QThread::currentThread() != application->thread()) {
        return 0;
    }
    InformationDialog dialog(*model, QApplication::activeWindow());
    dialog.exec();
    return 1;
}
