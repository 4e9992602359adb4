// The library's set-up as an extension of its clients, and its free functions.

#include "glimra/library.h"

#include "glimra/resources.h"
#include "glimra/timers.h"

#include "platform/last_error.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <cerrno>
#include <dlfcn.h>
#include <memory>
#include <new>
#include <vector>

namespace glimra {

ExtensionModule& extensionModule() {
    static ExtensionModule module;
    return module;
}

namespace {

// Loading fills the record; nothing of the library is created then.
__attribute__((constructor)) void attachLibrary() {
    ExtensionModule& module = extensionModule();
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&attachLibrary), &info) != 0 &&
        info.dli_fname != nullptr) {
        module.modulePath = info.dli_fname;
    }
    module.resources = &libraryResources();
    module.initialized = true;
}

__attribute__((destructor)) void detachLibrary() {
    extensionModule().initialized = false;
}

// The entries InitGuiLibrary made, freed when the program ends. Never
// destroyed itself, so that its entries can leave the chain at exit.
std::vector<std::unique_ptr<CDynLinkLibrary>>& entries() {
    static auto* list = new std::vector<std::unique_ptr<CDynLinkLibrary>>();
    return *list;
}

struct FreeEntries {
    ~FreeEntries() { entries().clear(); }
};

} // namespace

CDynLinkLibrary::CDynLinkLibrary(ExtensionModule& module) : module_(module) {
    joinResourceChain(module_.resources);
}

CDynLinkLibrary::~CDynLinkLibrary() {
    leaveResourceChain(module_.resources);
}

CDynLinkLibrary* InitGuiLibrary() {
    static FreeEntries freeAtExit;
    std::unique_ptr<CDynLinkLibrary> entry(new (std::nothrow) CDynLinkLibrary(extensionModule()));
    if (!entry) {
        return nullptr;
    }
    entries().push_back(std::move(entry));
    return entries().back().get();
}

namespace {
constexpr const char* kCommandProperty = "glimraCommandId";
} // namespace

void setCommandId(QAction* item, UINT id) {
    if (item != nullptr) {
        item->setProperty(kCommandProperty, id);
    }
}

UINT commandId(const QAction* item) {
    if (item == nullptr) {
        return 0;
    }
    const QVariant id = item->property(kCommandProperty);
    return id.isValid() ? id.toUInt() : 0;
}

QAction* CCmdUI::item() const {
    if (m_pMenu == nullptr) {
        return nullptr;
    }
    const QList<QAction*> items = m_pMenu->actions();
    return m_nIndex < static_cast<UINT>(items.size()) ? items[static_cast<qsizetype>(m_nIndex)]
                                                      : nullptr;
}

void CCmdUI::Enable(BOOL on) {
    if (QAction* a = item()) {
        a->setEnabled(on != FALSE);
    }
    m_bEnableChanged = true;
}

void CCmdUI::SetCheck(int check) {
    if (QAction* a = item()) {
        a->setCheckable(true);
        a->setChecked(check != 0);
    }
}

void CCmdUI::SetRadio(BOOL on) {
    SetCheck(on != FALSE ? 1 : 0);
}

void CCmdUI::SetText(const char* text) {
    if (QAction* a = item(); a != nullptr && text != nullptr) {
        a->setText(QString::fromUtf8(text));
    }
}

BOOL CCmdUI::DoUpdate(CCmdTarget* target, BOOL disableIfNoHandler) {
    m_bEnableChanged = false;
    const BOOL handled = target != nullptr ? target->OnUpdateCmdUI(this) : FALSE;
    if (!handled && disableIfNoHandler && !m_bEnableChanged) {
        Enable(FALSE);
    }
    return handled;
}

BOOL CCmdTarget::OnUpdateCmdUI(CCmdUI* ui) {
    if (ui == nullptr) {
        return FALSE;
    }
    const auto it = handlers_.find(ui->m_nID);
    if (it == handlers_.end() || !it->second) {
        return FALSE;
    }
    it->second(ui);
    return TRUE;
}

void UpdateMenuCmdUI(CCmdTarget* target, QMenu* menu) {
    if (menu == nullptr) {
        return;
    }
    CCmdUI state;
    state.m_pMenu = menu;
    state.m_pParentMenu = menu;
    state.m_nIndexMax = static_cast<UINT>(menu->actions().size());
    // The count is read from the state each time: a handler may remove items.
    for (state.m_nIndex = 0; state.m_nIndex < state.m_nIndexMax; ++state.m_nIndex) {
        const QList<QAction*> items = menu->actions();
        if (state.m_nIndex >= static_cast<UINT>(items.size())) {
            break;
        }
        QAction* item = items[static_cast<qsizetype>(state.m_nIndex)];
        if (item->menu() != nullptr) {
            UpdateMenuCmdUI(target, item->menu());
            continue;
        }
        state.m_nID = item->isSeparator() ? 0 : commandId(item);
        if (state.m_nID == 0) {
            continue;
        }
        state.m_pSubMenu = nullptr;
        state.DoUpdate(target, FALSE);
    }
}

namespace {

struct BoxButton {
    QMessageBox::ButtonRole role;
    const char* text;
    int answer;
};

std::vector<BoxButton> buttonsOf(UINT type) {
    switch (type & 0xF) {
    case MB_OKCANCEL:
        return {{QMessageBox::AcceptRole, "OK", IDOK},
                {QMessageBox::RejectRole, "Cancel", IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
        return {{QMessageBox::RejectRole, "&Abort", IDABORT},
                {QMessageBox::AcceptRole, "&Retry", IDRETRY},
                {QMessageBox::AcceptRole, "&Ignore", IDIGNORE}};
    case MB_YESNOCANCEL:
        return {{QMessageBox::YesRole, "&Yes", IDYES},
                {QMessageBox::NoRole, "&No", IDNO},
                {QMessageBox::RejectRole, "Cancel", IDCANCEL}};
    case MB_YESNO:
        return {{QMessageBox::YesRole, "&Yes", IDYES}, {QMessageBox::NoRole, "&No", IDNO}};
    case MB_RETRYCANCEL:
        return {{QMessageBox::AcceptRole, "&Retry", IDRETRY},
                {QMessageBox::RejectRole, "Cancel", IDCANCEL}};
    default:
        return {{QMessageBox::AcceptRole, "OK", IDOK}};
    }
}

QMessageBox::Icon iconOf(UINT type) {
    switch (type & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

int TimedMessageBox(QWidget* owner, const char* text, const char* caption, UINT type,
                    UINT timeoutMs) {
    if (timeoutMs == 0) {
        platform::setLastError(ERROR_INVALID_DATA);
        return 0;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return 0;
    }
    QMessageBox box(owner);
    box.setWindowTitle(QString::fromUtf8(caption != nullptr ? caption : "Error"));
    box.setText(QString::fromUtf8(text != nullptr ? text : ""));
    box.setIcon(iconOf(type));
    const std::vector<BoxButton> buttons = buttonsOf(type);
    std::vector<std::pair<QAbstractButton*, int>> answers;
    for (const BoxButton& b : buttons) {
        answers.emplace_back(box.addButton(QString::fromUtf8(b.text), b.role), b.answer);
    }
    const size_t defaultIndex = (type & 0xF00) >> 8;
    box.setDefaultButton(
        static_cast<QPushButton*>(answers[defaultIndex < answers.size() ? defaultIndex : 0].first));
    // Escape answers Cancel where the box has it, else its only button.
    for (const auto& [button, answer] : answers) {
        if (answer == IDCANCEL || answers.size() == 1) {
            box.setEscapeButton(button);
        }
    }

    bool timedOut = false;
    Timers timer([&](UINT) {
        timedOut = true;
        box.done(0);
    });
    timer.SetTimer(1, timeoutMs);
    box.exec();
    timer.KillTimer(1);
    if (timedOut) {
        return IDTIMEOUT;
    }
    for (const auto& [button, answer] : answers) {
        if (box.clickedButton() == button) {
            return answer;
        }
    }
    return 0;
}

BOOL IsRectInRect(const RECT* inner, const RECT* outer) {
    if (inner == nullptr || outer == nullptr) {
        return FALSE;
    }
    const POINT corners[] = {{inner->left, inner->top},
                             {inner->left, inner->bottom},
                             {inner->right, inner->top},
                             {inner->right, inner->bottom}};
    for (const POINT& p : corners) {
        if (!PtInRect(*outer, p)) {
            return FALSE;
        }
    }
    return TRUE;
}

} // namespace glimra
