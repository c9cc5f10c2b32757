#include "framework.h"

#include <vector>

#include "../util/qvtypes.h"

namespace
{

// The window property that ties a window to its C++ object.
const char kObjectProp[] = "QVWndObject";

CWinApp* g_pTheApp = nullptr;
QVMessageBoxHook g_pfnMessageBoxHook = nullptr;

// The dialog whose window is being made on this thread. Messages reach the
// dialog procedure before WM_INITDIALOG (WM_SETFONT, WM_MEASUREITEM for
// owner-drawn controls...), so the object is bound on the first of them.
thread_local CDialog* t_pCreating = nullptr;

const UINT IPM_CLEAR = WM_USER + 100;
const UINT IPM_SET = WM_USER + 101;
const UINT IPM_GET = WM_USER + 102;

std::string TextOfWindow(HWND hWnd)
{
    if (!hWnd) return std::string();
    int length = ::GetWindowTextLengthA(hWnd);
    if (length <= 0) return std::string();
    std::vector<char> buffer((size_t)length + 1, '\0');
    int got = ::GetWindowTextA(hWnd, buffer.data(), length + 1);
    if (got < 0) got = 0;
    return std::string(buffer.data(), (size_t)got);
}

} // namespace

// ---------------------------------------------------------------------------

CWinApp::CWinApp()
    : m_hInstance(nullptr), m_lpCmdLine(nullptr), m_nCmdShow(SW_SHOWNORMAL), m_pMainWnd(nullptr)
{
    g_pTheApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pTheApp == this) g_pTheApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return FALSE;
}

int CWinApp::ExitInstance()
{
    return 0;
}

CWinApp* QVGetApp()
{
    return g_pTheApp;
}

HINSTANCE QVGetInstance()
{
    if (g_pTheApp && g_pTheApp->m_hInstance) return g_pTheApp->m_hInstance;
    return ::GetModuleHandleA(nullptr);
}

int QVRunApp(HINSTANCE hInstance, LPSTR cmdLine, int nCmdShow)
{
    CWinApp* app = g_pTheApp;
    if (!app) return 1;
    app->m_hInstance = hInstance ? hInstance : ::GetModuleHandleA(nullptr);
    // The arguments point into the process's own command line, which lives as long
    // as the process; WinMain's convention types them writable.
    app->m_lpCmdLine = cmdLine ? cmdLine : const_cast<LPSTR>(ArgumentsOf(::GetCommandLineA()));
    app->m_nCmdShow = nCmdShow;
    if (app->InitInstance()) {
        // A program that keeps windows open after InitInstance gets a plain loop.
        MSG msg;
        while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    return app->ExitInstance();
}

int QVMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags)
{
    if (g_pfnMessageBoxHook) return g_pfnMessageBoxHook(owner, text.c_str(), caption.c_str(), flags);
    return ::MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

void QVSetMessageBoxHook(QVMessageBoxHook hook)
{
    g_pfnMessageBoxHook = hook;
}

// ---------------------------------------------------------------------------

CWnd::CWnd() : m_hWnd(nullptr), m_pfnSuper(nullptr) {}

CWnd::~CWnd()
{
    // Controls belong to their dialog: give the window back, never destroy it.
    if (m_pfnSuper)
        UnsubclassWindow();
    else if (m_hWnd)
        Detach();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    if (!hWnd) return nullptr;
    return static_cast<CWnd*>(::GetPropA(hWnd, kObjectProp));
}

bool CWnd::Attach(HWND hWnd)
{
    if (!hWnd || m_hWnd) return false;
    m_hWnd = hWnd;
    ::SetPropA(hWnd, kObjectProp, this);
    return true;
}

HWND CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    if (hWnd && ::GetPropA(hWnd, kObjectProp) == this) ::RemovePropA(hWnd, kObjectProp);
    m_hWnd = nullptr;
    return hWnd;
}

bool CWnd::SubclassWindow(HWND hWnd)
{
    if (!hWnd || m_hWnd || FromHandlePermanent(hWnd)) return false;
    Attach(hWnd);
    m_pfnSuper = (WNDPROC)::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR)&CWnd::SubclassProc);
    if (!m_pfnSuper) {
        Detach();
        return false;
    }
    return true;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent)
{
    if (!parent || !parent->m_hWnd) return false;
    return SubclassWindow(::GetDlgItem(parent->m_hWnd, (int)id));
}

HWND CWnd::UnsubclassWindow()
{
    if (!m_hWnd) return nullptr;
    if (m_pfnSuper && (WNDPROC)::GetWindowLongPtrA(m_hWnd, GWLP_WNDPROC) == &CWnd::SubclassProc)
        ::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, (LONG_PTR)m_pfnSuper);
    m_pfnSuper = nullptr;
    return Detach();
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* wnd = FromHandlePermanent(hWnd);
    if (!wnd) return ::DefWindowProcA(hWnd, message, wParam, lParam);
    if (message != WM_NCDESTROY) return wnd->WindowProc(message, wParam, lParam);
    // Last message: let the original procedure finish, then let go of the window.
    LRESULT result = wnd->WindowProc(message, wParam, lParam);
    wnd->UnsubclassWindow();
    return result;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper) return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

void CWnd::DrawItem(LPDRAWITEMSTRUCT) {}

void CWnd::MeasureItem(LPMEASUREITEMSTRUCT) {}

HWND CWnd::GetDlgItem(int id) const
{
    return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr;
}

HWND CWnd::GetParent() const
{
    return ::GetParent(m_hWnd);
}

BOOL CWnd::ShowWindow(int cmd)
{
    return ::ShowWindow(m_hWnd, cmd);
}

BOOL CWnd::EnableWindow(BOOL enable)
{
    return ::EnableWindow(m_hWnd, enable);
}

BOOL CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd);
}

BOOL CWnd::IsWindowVisible() const
{
    return ::IsWindowVisible(m_hWnd);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

void CWnd::SetWindowText(const std::string& text)
{
    ::SetWindowTextA(m_hWnd, text.c_str());
}

std::string CWnd::GetWindowText() const
{
    return TextOfWindow(m_hWnd);
}

void CWnd::SetDlgItemText(int id, const std::string& text)
{
    ::SetWindowTextA(GetDlgItem(id), text.c_str());
}

std::string CWnd::GetDlgItemText(int id) const
{
    return TextOfWindow(GetDlgItem(id));
}

void CWnd::MoveWindow(int x, int y, int width, int height, BOOL repaint)
{
    ::MoveWindow(m_hWnd, x, y, width, height, repaint);
}

void CWnd::MoveWindow(const RECT& rect, BOOL repaint)
{
    ::MoveWindow(m_hWnd, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, repaint);
}

void CWnd::GetWindowRect(RECT* rect) const
{
    if (!::GetWindowRect(m_hWnd, rect)) ::SetRectEmpty(rect);
}

void CWnd::GetClientRect(RECT* rect) const
{
    if (!::GetClientRect(m_hWnd, rect)) ::SetRectEmpty(rect);
}

void CWnd::ScreenToClient(RECT* rect) const
{
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(rect), 2);
}

void CWnd::ScreenToClient(POINT* point) const
{
    ::ScreenToClient(m_hWnd, point);
}

void CWnd::ClientToScreen(POINT* point) const
{
    ::ClientToScreen(m_hWnd, point);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

void CWnd::Invalidate(BOOL erase)
{
    ::InvalidateRect(m_hWnd, nullptr, erase);
}

void CWnd::UpdateWindow()
{
    ::UpdateWindow(m_hWnd);
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs)
{
    return ::SetTimer(m_hWnd, id, elapseMs, nullptr);
}

BOOL CWnd::KillTimer(UINT_PTR id)
{
    return ::KillTimer(m_hWnd, id);
}

void CWnd::SetFont(HFONT font, BOOL redraw)
{
    SendMessage(WM_SETFONT, (WPARAM)font, MAKELPARAM(redraw, 0));
}

HFONT CWnd::GetFont() const
{
    return (HFONT)SendMessage(WM_GETFONT);
}

HICON CWnd::SetIcon(HICON icon, BOOL big)
{
    return (HICON)SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, (LPARAM)icon);
}

HWND CWnd::SetFocus()
{
    return ::SetFocus(m_hWnd);
}

BOOL CWnd::DestroyWindow()
{
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

int CWnd::MessageBox(const std::string& text, const std::string& caption, UINT flags)
{
    return QVMessageBox(m_hWnd, text, caption, flags);
}

// ---------------------------------------------------------------------------

void DDX_Text(CDataExchange* pDX, int id, std::string& value)
{
    HWND control = pDX->m_pDlgWnd->GetDlgItem(id);
    if (!control) return;
    if (pDX->m_bSaveAndValidate)
        value = TextOfWindow(control);
    else
        ::SetWindowTextA(control, value.c_str());
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    if (!control.m_hWnd) control.SubclassDlgItem((UINT)id, pDX->m_pDlgWnd);
}

// ---------------------------------------------------------------------------

CDialog::CDialog(UINT idd, CWnd* parent)
    : m_nIDD(idd), m_pParentWnd(parent), m_bModal(false), m_nModalResult(-1)
{
}

CDialog::~CDialog()
{
    if (m_hWnd) {
        // The derived parts are gone: no message may reach this object any more.
        HWND hWnd = m_hWnd;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        Detach();
        if (!m_bModal) ::DestroyWindow(hWnd);
    }
}

INT_PTR CDialog::DoModal()
{
    if (m_hWnd) return -1;
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CDialog* previous = t_pCreating;
    t_pCreating = this;
    m_bModal = true;
    m_nModalResult = ::DialogBoxParamA(QVGetInstance(), MAKEINTRESOURCEA(m_nIDD), parent,
                                       &CDialog::StaticDialogProc, (LPARAM)this);
    m_bModal = false;
    t_pCreating = previous;
    return m_nModalResult;
}

BOOL CDialog::Create(UINT idd, CWnd* parent)
{
    if (m_hWnd) return FALSE;
    if (idd) m_nIDD = idd;
    if (parent) m_pParentWnd = parent;
    HWND parentWnd = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CDialog* previous = t_pCreating;
    t_pCreating = this;
    m_bModal = false;
    HWND hWnd = ::CreateDialogParamA(QVGetInstance(), MAKEINTRESOURCEA(m_nIDD), parentWnd,
                                     &CDialog::StaticDialogProc, (LPARAM)this);
    t_pCreating = previous;
    return hWnd != nullptr && m_hWnd == hWnd;
}

void CDialog::EndDialog(int result)
{
    if (!m_hWnd) return;
    m_nModalResult = result;
    if (m_bModal) {
        ::EndDialog(m_hWnd, result);
    } else {
        ::ShowWindow(m_hWnd, SW_HIDE);
        ::DestroyWindow(m_hWnd);
    }
}

BOOL CDialog::UpdateData(bool saveAndValidate)
{
    if (!m_hWnd) return FALSE;
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::OnInitDialog()
{
    UpdateData(false);
    return TRUE;
}

void CDialog::OnOK()
{
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnCommand(UINT, UINT, HWND)
{
    return FALSE;
}

void CDialog::OnTimer(UINT_PTR) {}

void CDialog::OnDestroy() {}

void CDialog::SetMsgResult(LRESULT result)
{
    ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
}

INT_PTR CDialog::DialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND: {
        UINT id = LOWORD(wParam);
        UINT code = HIWORD(wParam);
        if (code == BN_CLICKED && id == IDOK) {
            OnOK();
            return TRUE;
        }
        if (code == BN_CLICKED && id == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
        return OnCommand(id, code, (HWND)lParam);
    }
    case WM_TIMER:
        OnTimer((UINT_PTR)wParam);
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    case WM_DRAWITEM: {
        LPDRAWITEMSTRUCT item = (LPDRAWITEMSTRUCT)lParam;
        if (!item || item->CtlType == ODT_MENU) return FALSE;
        CWnd* control = FromHandlePermanent(item->hwndItem);
        if (!control || control == this) return FALSE;
        control->DrawItem(item);
        SetMsgResult(TRUE);
        return TRUE;
    }
    case WM_MEASUREITEM: {
        LPMEASUREITEMSTRUCT item = (LPMEASUREITEMSTRUCT)lParam;
        if (!item || item->CtlType == ODT_MENU) return FALSE;
        CWnd* control = FromHandlePermanent(::GetDlgItem(m_hWnd, (int)item->CtlID));
        if (!control || control == this) return FALSE;
        control->MeasureItem(item);
        SetMsgResult(TRUE);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!dialog) {
        if (message == WM_INITDIALOG && lParam)
            dialog = reinterpret_cast<CDialog*>(lParam);
        else
            dialog = t_pCreating;
        if (!dialog || dialog->m_hWnd) return FALSE;
        t_pCreating = nullptr;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, (LONG_PTR)dialog);
        dialog->Attach(hWnd);
    }
    INT_PTR result = dialog->DialogProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        dialog->Detach();
    }
    return result;
}

// ---------------------------------------------------------------------------

int CListBox::AddString(const std::string& text)
{
    return (int)SendMessage(LB_ADDSTRING, 0, (LPARAM)text.c_str());
}

int CListBox::DeleteString(int index)
{
    return (int)SendMessage(LB_DELETESTRING, (WPARAM)index);
}

int CListBox::GetCount() const
{
    return (int)SendMessage(LB_GETCOUNT);
}

int CListBox::GetCurSel() const
{
    return (int)SendMessage(LB_GETCURSEL);
}

int CListBox::SetCurSel(int index)
{
    return (int)SendMessage(LB_SETCURSEL, (WPARAM)index);
}

DWORD_PTR CListBox::GetItemData(int index) const
{
    return (DWORD_PTR)SendMessage(LB_GETITEMDATA, (WPARAM)index);
}

int CListBox::SetItemData(int index, DWORD_PTR data)
{
    return (int)SendMessage(LB_SETITEMDATA, (WPARAM)index, (LPARAM)data);
}

int CListBox::GetText(int index, std::string& text) const
{
    text.clear();
    int length = (int)SendMessage(LB_GETTEXTLEN, (WPARAM)index);
    if (length < 0) return LB_ERR;
    std::vector<char> buffer((size_t)length + 1, '\0');
    int got = (int)SendMessage(LB_GETTEXT, (WPARAM)index, (LPARAM)buffer.data());
    if (got < 0) return LB_ERR;
    if (got > length) got = length;
    text.assign(buffer.data(), (size_t)got);
    return got;
}

std::string CListBox::GetText(int index) const
{
    std::string text;
    GetText(index, text);
    return text;
}

int CListBox::GetTopIndex() const
{
    return (int)SendMessage(LB_GETTOPINDEX);
}

int CListBox::SetTopIndex(int index)
{
    return (int)SendMessage(LB_SETTOPINDEX, (WPARAM)index);
}

int CListBox::GetItemRect(int index, RECT* rect) const
{
    return (int)SendMessage(LB_GETITEMRECT, (WPARAM)index, (LPARAM)rect);
}

int CListBox::FindStringExact(int startAfter, const std::string& text) const
{
    return (int)SendMessage(LB_FINDSTRINGEXACT, (WPARAM)startAfter, (LPARAM)text.c_str());
}

void CListBox::ResetContent()
{
    SendMessage(LB_RESETCONTENT);
}

// ---------------------------------------------------------------------------

void CIPAddressCtrl::SetAddress(DWORD address)
{
    SendMessage(IPM_SET, 0, (LPARAM)address);
}

int CIPAddressCtrl::GetAddress(DWORD& address) const
{
    DWORD value = 0;
    int filled = (int)SendMessage(IPM_GET, 0, (LPARAM)&value);
    address = value;
    return filled;
}

void CIPAddressCtrl::ClearAddress()
{
    SendMessage(IPM_CLEAR);
}
