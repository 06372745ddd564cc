// Child controls of a dialog built without a resource template: push buttons and
// static texts in the stock GUI font, sized to their text.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

namespace snapwick {

class ControlBase_CL {
public:
    virtual ~ControlBase_CL() = default;
    HWND hwnd = nullptr;
    int id = 0;
    SIZE size = {};
    void moveTo(int x, int y) const;
    void setId(int newId);
};

class Button_CL : public ControlBase_CL {};
class StaticText_CL : public ControlBase_CL {};

class ControlFactory_CL {
public:
    explicit ControlFactory_CL(HWND parent) : parent_(parent) {}
    virtual ~ControlFactory_CL() = default;

    // The text's extent plus 8 pixels each way; placed at (0, 0).
    Button_CL& createButton(const std::wstring& text);
    // The text's extent; placed at (x, y).
    StaticText_CL& createStaticText(const std::wstring& text, int x, int y);

    // Width and height of text in the stock GUI font, as DrawText lays it out.
    static SIZE measureText(const std::wstring& text);

private:
    HWND create(const wchar_t* className, DWORD style, const std::wstring& text, int x, int y, SIZE size,
                int id);

    HWND parent_;
    int nextId_ = 0x1100;
    // The windows belong to the parent and end with it; these only describe them.
    std::vector<std::unique_ptr<ControlBase_CL>> controls_;
};

}  // namespace snapwick
