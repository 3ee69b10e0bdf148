#include "app/accessible.h"

#include "util/text.h"

#include <oleacc.h>

#include <atomic>
#include <mutex>
#include <string>

namespace
{
BSTR Bstr(const std::string& utf8)
{
    const std::wstring w = Utf8ToWide(utf8);
    return SysAllocStringLen(w.data(), (UINT)w.size());
}

// The only class with virtual functions in the program: the interface
// Windows calls. Everything it answers comes from the tree's copy.
class WizardAccessible final : public IAccessible
{
public:
    WizardAccessible(HWND window, std::shared_ptr<AccessibleTree> tree) : window_(window), tree_(std::move(tree)) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IAccessible)
        {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    // IDispatch: not offered; clients use the IAccessible methods.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override
    {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        return AccessibleObjectFromWindow(window_, (DWORD)OBJID_WINDOW, IID_IDispatch, (void**)parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override
    {
        if (!count)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(tree_->mutex);
        *count = (long)tree_->controls.size();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        Control c;
        // The controls are simple elements of this object, with no object of their own.
        return Child(child, c) && child.lVal != CHILDID_SELF ? S_FALSE : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override
    {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        if (child.lVal == CHILDID_SELF)
        {
            wchar_t title[128] = {};
            GetWindowTextW(window_, title, 128);
            *name = SysAllocString(title);
            return S_OK;
        }
        *name = Bstr(c.name);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override
    {
        if (!value)
            return E_POINTER;
        *value = nullptr;
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        if (c.isProtected)
            return E_ACCESSDENIED;
        if (child.lVal == CHILDID_SELF || (c.value.empty() && c.role != Role_TextField))
            return S_FALSE;
        *value = Bstr(c.value);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override
    {
        return NoString(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override
    {
        if (!role)
            return E_POINTER;
        VariantInit(role);
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        role->vt = VT_I4;
        if (child.lVal == CHILDID_SELF)
        {
            role->lVal = ROLE_SYSTEM_CLIENT;
            return S_OK;
        }
        switch (c.role)
        {
        case Role_StaticText: role->lVal = ROLE_SYSTEM_STATICTEXT; break;
        case Role_Alert: role->lVal = ROLE_SYSTEM_ALERT; break;
        case Role_PushButton: role->lVal = ROLE_SYSTEM_PUSHBUTTON; break;
        case Role_CheckBox: role->lVal = ROLE_SYSTEM_CHECKBUTTON; break;
        case Role_TextField: role->lVal = ROLE_SYSTEM_TEXT; break;
        case Role_ProgressBar: role->lVal = ROLE_SYSTEM_PROGRESSBAR; break;
        case Role_Heading:
            // MSAA has no heading role: a role given as text is its way for
            // one (and what UI Automation shows as the control's type).
            role->vt = VT_BSTR;
            role->bstrVal = SysAllocString(L"heading");
            break;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override
    {
        if (!state)
            return E_POINTER;
        VariantInit(state);
        Control c;
        int index = -1, focus = -1;
        if (!Child(child, c, &index, &focus))
            return E_INVALIDARG;
        long s = 0;
        if (child.lVal == CHILDID_SELF)
            s = STATE_SYSTEM_FOCUSABLE | (focus < 0 && GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0);
        else
        {
            if (c.disabled)
                s |= STATE_SYSTEM_UNAVAILABLE;
            if (TakesFocus(c) || index == focus)
                s |= STATE_SYSTEM_FOCUSABLE;
            if (index == focus)
                s |= STATE_SYSTEM_FOCUSED;
            if (c.checked)
                s |= STATE_SYSTEM_CHECKED;
            if (c.isDefault && !c.disabled)
                s |= STATE_SYSTEM_DEFAULT;
            if (c.isProtected)
                s |= STATE_SYSTEM_PROTECTED;
            if (c.role == Role_StaticText || c.role == Role_Heading || c.role == Role_Alert ||
                c.role == Role_ProgressBar)
                s |= STATE_SYSTEM_READONLY;
        }
        state->vt = VT_I4;
        state->lVal = s;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override { return NoString(child, text); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override
    {
        if (file)
            *file = nullptr;
        if (topic)
            *topic = 0;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* keys) override
    {
        if (!keys)
            return E_POINTER;
        *keys = nullptr;
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        if (child.lVal == CHILDID_SELF || !c.mnemonic)
            return S_FALSE;
        *keys = Bstr(std::string("Alt+") + (char)toupper((unsigned char)c.mnemonic));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override
    {
        if (!focus)
            return E_POINTER;
        VariantInit(focus);
        std::lock_guard<std::mutex> lock(tree_->mutex);
        if (!tree_->alive)
            return CO_E_OBJNOTCONNECTED;
        focus->vt = VT_I4;
        focus->lVal = tree_->focus >= 0 ? tree_->focus + 1 : CHILDID_SELF;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override
    {
        if (!selection)
            return E_POINTER;
        VariantInit(selection);
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override
    {
        if (!action)
            return E_POINTER;
        *action = nullptr;
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        if (child.lVal == CHILDID_SELF)
            return S_FALSE;
        if (c.role == Role_PushButton)
            *action = SysAllocString(L"Press");
        else if (c.role == Role_CheckBox)
            *action = SysAllocString(c.checked ? L"Uncheck" : L"Check");
        else
            return S_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override
    {
        if (!(flags & SELFLAG_TAKEFOCUS))
            return DISP_E_MEMBERNOTFOUND;
        return Request(child, false);
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* x, long* y, long* w, long* h, VARIANT child) override
    {
        if (!x || !y || !w || !h)
            return E_POINTER;
        Control c;
        if (!Child(child, c))
            return E_INVALIDARG;
        RECT r = {(LONG)c.x0, (LONG)c.y0, (LONG)(c.x1 + 0.5f), (LONG)(c.y1 + 0.5f)};
        if (child.lVal == CHILDID_SELF)
            GetClientRect(window_, &r);
        POINT origin = {0, 0};
        ClientToScreen(window_, &origin);
        *x = r.left + origin.x;
        *y = r.top + origin.y;
        *w = r.right - r.left;
        *h = r.bottom - r.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override
    {
        if (!end)
            return E_POINTER;
        VariantInit(end);
        Control c;
        if (!Child(start, c))
            return E_INVALIDARG;
        long count = 0;
        get_accChildCount(&count);
        long to = 0;
        const long from = start.lVal;
        if (from == CHILDID_SELF)
            to = direction == NAVDIR_FIRSTCHILD ? 1 : direction == NAVDIR_LASTCHILD ? count : 0;
        else if (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN)
            to = from + 1;
        else if (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP)
            to = from - 1;
        if (to < 1 || to > count)
            return S_FALSE;
        end->vt = VT_I4;
        end->lVal = to;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override
    {
        if (!hit)
            return E_POINTER;
        VariantInit(hit);
        POINT p = {x, y};
        ScreenToClient(window_, &p);
        RECT client;
        GetClientRect(window_, &client);
        if (!PtInRect(&client, p))
            return S_FALSE;
        std::lock_guard<std::mutex> lock(tree_->mutex);
        hit->vt = VT_I4;
        hit->lVal = CHILDID_SELF;
        for (size_t i = 0; i < tree_->controls.size(); i++)
        {
            const Control& c = tree_->controls[i];
            if (p.x >= c.x0 && p.x < c.x1 && p.y >= c.y0 && p.y < c.y1)
                hit->lVal = (long)i + 1;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override
    {
        return Request(child, true);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    // A copy of the control a child id names (self: the first, unused).
    bool Child(const VARIANT& child, Control& out, int* index = nullptr, int* focus = nullptr)
    {
        if (child.vt != VT_I4)
            return false;
        std::lock_guard<std::mutex> lock(tree_->mutex);
        if (!tree_->alive)
            return false;
        const long id = child.lVal;
        if (id != CHILDID_SELF && (id < 1 || id > (long)tree_->controls.size()))
            return false;
        if (id != CHILDID_SELF)
            out = tree_->controls[id - 1];
        if (index)
            *index = id - 1;
        if (focus)
            *focus = tree_->focus;
        return true;
    }

    HRESULT NoString(const VARIANT& child, BSTR* text)
    {
        if (!text)
            return E_POINTER;
        *text = nullptr;
        Control c;
        return Child(child, c) ? S_FALSE : E_INVALIDARG;
    }

    // Queued for the interface thread, which owns the wizard's state.
    HRESULT Request(const VARIANT& child, bool press)
    {
        Control c;
        if (!Child(child, c) || child.lVal == CHILDID_SELF)
            return E_INVALIDARG;
        if (!TakesFocus(c) || (press && c.role == Role_TextField))
            return DISP_E_MEMBERNOTFOUND;
        {
            std::lock_guard<std::mutex> lock(tree_->mutex);
            tree_->requests.push_back({press, tree_->page, c.id});
        }
        PostMessageW(window_, kAccessRequestMessage, 0, 0);
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    HWND window_;
    std::shared_ptr<AccessibleTree> tree_;
};
} // namespace

IAccessible* CreateWizardAccessible(HWND window, std::shared_ptr<AccessibleTree> tree)
{
    return new WizardAccessible(window, std::move(tree));
}

void SendAccessEvents(HWND window, const std::vector<AccessEvent>& events)
{
    for (const AccessEvent& e : events)
        NotifyWinEvent(e.event, window, OBJID_CLIENT, e.child);
}
