#include "client/update/control_factory.h"

#include "common/scoped.h"

namespace snapwick {

namespace {
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_TABSTOP;
constexpr DWORD kStaticStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr int kButtonPadding = 8;
}  // namespace

void ControlBase_CL::moveTo(int x, int y) const {
    SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ControlBase_CL::setId(int newId) {
    id = newId;
    SetWindowLongPtrW(hwnd, GWLP_ID, newId);
}

SIZE ControlFactory_CL::measureText(const std::wstring& text) {
    WindowDC screen(nullptr);
    SelectedObject font(screen.get(), GetStockObject(DEFAULT_GUI_FONT));
    RECT rect = {0, 0, 0, 0};
    DrawTextW(screen.get(), text.c_str(), static_cast<int>(text.size()), &rect, DT_CALCRECT);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

HWND ControlFactory_CL::create(const wchar_t* className, DWORD style, const std::wstring& text, int x, int y,
                               SIZE size, int id) {
    HWND hwnd = CreateWindowExW(0, className, text.c_str(), style, x, y, size.cx, size.cy, parent_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                nullptr);
    if (hwnd) SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    return hwnd;
}

Button_CL& ControlFactory_CL::createButton(const std::wstring& text) {
    auto button = std::make_unique<Button_CL>();
    button->size = measureText(text);
    button->size.cx += kButtonPadding;
    button->size.cy += kButtonPadding;
    button->id = nextId_++;
    button->hwnd = create(L"BUTTON", kButtonStyle | BS_PUSHBUTTON, text, 0, 0, button->size, button->id);
    controls_.push_back(std::move(button));
    return static_cast<Button_CL&>(*controls_.back());
}

StaticText_CL& ControlFactory_CL::createStaticText(const std::wstring& text, int x, int y) {
    auto label = std::make_unique<StaticText_CL>();
    label->size = measureText(text);
    label->id = nextId_++;
    label->hwnd = create(L"STATIC", kStaticStyle, text, x, y, label->size, label->id);
    controls_.push_back(std::move(label));
    return static_cast<StaticText_CL&>(*controls_.back());
}

}  // namespace snapwick
