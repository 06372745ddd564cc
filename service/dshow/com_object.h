// IUnknown for the COM objects of our own: ComObject<First, Rest...> derives from the
// interfaces, counts references (the object is made with one, for AdoptComRef) and
// deletes itself at the last Release. QueryInterface answers IUnknown and whatever the
// object's Interface() hands out.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <atomic>

template <class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this)) : Interface(riid);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ComObject() = default;
    // The interface `riid` (other than IUnknown) of this object, or null.
    virtual void* Interface(REFIID riid) = 0;

private:
    std::atomic<ULONG> refs_{1};
};
